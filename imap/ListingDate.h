// CListingDate: a message listing's date as seconds since 1970 UTC, for
// INTERNALDATE and the date search keys. It reads the service's form
// ("2002-01-02T03:04:05", time optional) and the asctime layout the message
// model rewrites it into ("Wed Jan 02 03:04:05 2002"); the clock time is
// taken as UTC, as the service writes it.
#ifndef KESTRELON_LISTING_DATE_H
#define KESTRELON_LISTING_DATE_H

#include <stdint.h>

#include <string>

class CListingDate {
 public:
  // False (and 0) for a text in neither form or outside the calendar.
  static bool Parse(const std::string& text, int64_t* seconds);
  // Days since 1970-01-01 of a proleptic Gregorian date; month 1 to 12.
  static int64_t DaysFromCivil(int year, int month, int day);
};

#endif
