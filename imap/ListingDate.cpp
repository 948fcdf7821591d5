#include "imap/ListingDate.h"

#include <stdio.h>
#include <string.h>

namespace {

bool Valid(int year, int month, int day, int hour, int minute, int second) {
  static const int kLength[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kLength[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 61;
}

}  // namespace

int64_t CListingDate::DaysFromCivil(int year, int month, int day) {
  int y = year - (month <= 2 ? 1 : 0);
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int mp = (month + 9) % 12;
  int doy = (153 * mp + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int64_t>(era) * 146097 + doe - 719468;
}

bool CListingDate::Parse(const std::string& text, int64_t* seconds) {
  *seconds = 0;
  int f[6] = {0, 0, 0, 0, 0, 0};
  char tail = 0;
  int used = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &used) == 6 ||
      sscanf(text.c_str(), "%4d-%2d-%2d%n", &f[0], &f[1], &f[2], &used) == 3) {
    // The service may add fractions or a zone letter; nothing else.
    tail = text.c_str()[used];
    if (tail != '\0' && tail != '.' && tail != 'Z' && tail != 'z') return false;
  } else {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {0}, month[4] = {0};
    if (sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d%n", weekday, month, &f[2], &f[3], &f[4], &f[5], &f[0], &used) != 7 ||
        used != static_cast<int>(text.size())) {
      return false;
    }
    for (int i = 0; i < 12; ++i) {
      if (strcmp(month, kMonths[i]) == 0) f[1] = i + 1;
    }
  }
  if (!Valid(f[0], f[1], f[2], f[3], f[4], f[5])) return false;
  *seconds = DaysFromCivil(f[0], f[1], f[2]) * 86400 + f[3] * 3600 + f[4] * 60 + f[5];
  return true;
}
