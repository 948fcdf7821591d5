// The one reader of decimal numbers in texts from clients and the service.
#ifndef KESTRELON_DECIMAL_NUMBER_H
#define KESTRELON_DECIMAL_NUMBER_H

#include <limits.h>

// Reads what sscanf's "%d" reads (white space, an optional sign, decimal
// digits up to the first other character) and moves `cursor` past it. A
// value beyond the int range stops at its end instead of overflowing.
// False, with `cursor` and `value` untouched, when no digit follows.
inline bool ReadDecimal(const char*& cursor, int& value) {
  const char* p = cursor;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) magnitude = limit;
  }
  const long long signedValue = negative ? -magnitude : magnitude;
  value = signedValue > INT_MAX ? INT_MAX : static_cast<int>(signedValue);
  cursor = p;
  return true;
}

// The number at the start of a text, or 0 when it has none, as atoi reads
// it but without overflow.
inline int LeadingDecimal(const char* text) {
  int value = 0;
  ReadDecimal(text, value);
  return value;
}

#endif
