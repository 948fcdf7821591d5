#include "Mail.h"

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "config/DecimalNumber.h"
#include "config/Log.h"

namespace {

const char kNotConverted[] = "[日時形式の変換が行えませんでした]\n";
const char kNotNormalised[] = "[日時形式の正規化に失敗しました]";
const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The number of fields "%d-%d-%dT%d:%d:%d" reads from the text.
int ScanDate(const char* text, int fields[6]) {
  static const char kSeparators[] = "--T::";
  const char* p = text;
  int count = 0;
  for (; count < 6; ++count) {
    if (count > 0) {
      if (*p != kSeparators[count - 1]) break;
      ++p;
    }
    if (!ReadDecimal(p, fields[count])) break;
  }
  return count;
}

// Days from 1970-01-01 to the first of a month (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The limits of a 32-bit time: the year after the carry of months, and the
// second count that the fields make.
bool WithinClock(int year, int month, int day, int hour, int minute, int second) {
  const int64_t months = static_cast<int64_t>(month) - 1;
  const int64_t carry = months >= 0 ? months / 12 : (months - 11) / 12;
  const int64_t y = year + carry;
  const int64_t m = months - carry * 12 + 1;
  if (y < 1969 || y > 2039) return false;
  const int64_t seconds =
      (DaysFromCivil(y, m) + day - 1) * 86400 + static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60 + second;
  return seconds >= INT32_MIN && seconds <= INT32_MAX;
}

// An instant a signed 32-bit count of seconds since 1970 can hold.
bool WithinClockRange(long long seconds) { return seconds >= 0 && seconds <= INT32_MAX; }

}  // namespace

CMail::CMail() : retrieved(false), read(false), number(0), held(Held::Nothing), deleted(false), size(0) {}

CMail::~CMail() {}

void CMail::ConvertDate() {
  int f[6] = {0, 0, 0, 0, 0, 0};
  const int count = ScanDate(date.c_str(), f);
  if (count != 3 && count != 6) {
    theLog.Write(kNotConverted);
    return;
  }
  if (f[0] < 1900 || !WithinClock(f[0], f[1], f[2], f[3], f[4], f[5])) {
    REPORT_ERROR(kNotNormalised, 0);
    return;
  }
  struct tm t = {};
  t.tm_year = f[0] - 1900;
  t.tm_mon = f[1] - 1;
  t.tm_mday = f[2];
  t.tm_hour = f[3];
  t.tm_min = f[4];
  t.tm_sec = f[5];
  // The zone decides whether daylight saving time applies, so a summer
  // date keeps the clock time the service wrote.
  t.tm_isdst = -1;
  const time_t when = mktime(&t);
  if (when == static_cast<time_t>(-1) || !WithinClockRange(static_cast<long long>(when))) {
    REPORT_ERROR(kNotNormalised, 0);
    return;
  }
  char text[64];
  snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d", kWeekdays[t.tm_wday % 7], kMonths[t.tm_mon % 12],
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  date = text;
}
