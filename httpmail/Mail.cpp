#include "Mail.h"

#include <stdint.h>
#include <stdio.h>

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

// The fields as a count of seconds since 1970-01-01 00:00:00, every field
// carried into the next as mktime carries it. The service's clock time is
// taken as it is, so no time zone enters and no zone file is read.
int64_t SecondsFromFields(int year, int month, int day, int hour, int minute, int second) {
  const int64_t months = static_cast<int64_t>(month) - 1;
  const int64_t carry = months >= 0 ? months / 12 : (months - 11) / 12;
  const int64_t y = static_cast<int64_t>(year) + carry;
  const int64_t m = months - carry * 12 + 1;
  return (DaysFromCivil(y, m) + day - 1) * 86400 + static_cast<int64_t>(hour) * 3600 +
         static_cast<int64_t>(minute) * 60 + second;
}

// The year after the carry of months, which must stay near the clock's
// range so that the day count cannot overflow.
bool YearNearClock(int year, int month) {
  const int64_t months = static_cast<int64_t>(month) - 1;
  const int64_t carry = months >= 0 ? months / 12 : (months - 11) / 12;
  const int64_t y = static_cast<int64_t>(year) + carry;
  return y >= 1969 && y <= 2039;
}

// An instant a signed 32-bit count of seconds since 1970 can hold.
bool WithinClockRange(int64_t seconds) { return seconds >= 0 && seconds <= INT32_MAX; }

// Civil fields of a second count: the inverse of DaysFromCivil.
void FieldsFromSeconds(int64_t seconds, int& year, int& month, int& day, int& weekday, int& hms) {
  const int64_t days = seconds / 86400;
  hms = static_cast<int>(seconds % 86400);
  weekday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

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
  if (f[0] < 1900 || !YearNearClock(f[0], f[1])) {
    REPORT_ERROR(kNotNormalised, 0);
    return;
  }
  const int64_t when = SecondsFromFields(f[0], f[1], f[2], f[3], f[4], f[5]);
  if (!WithinClockRange(when)) {
    REPORT_ERROR(kNotNormalised, 0);
    return;
  }
  int year = 0, month = 0, day = 0, weekday = 0, hms = 0;
  FieldsFromSeconds(when, year, month, day, weekday, hms);
  char text[64];
  snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d", kWeekdays[weekday], kMonths[month - 1], day,
           hms / 3600, hms / 60 % 60, hms % 60, year);
  date = text;
}
