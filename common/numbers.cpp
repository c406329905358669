#include "numbers.h"

#include <windows.h>

#include <ctype.h>

// Parses white space, sign and digits; *digits counts the digits read.
static int64_t ReadSaturated(const char* text, int* digits) {
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  const int64_t limit = int64_t(INT32_MAX) + 2;  // past either end
  int64_t magnitude = 0;
  *digits = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); p++, (*digits)++) {
    if (magnitude < limit) magnitude = magnitude * 10 + (*p - '0');
  }
  return negative ? -magnitude : magnitude;
}

bool ParseInt32(const char* text, int32_t* value) {
  int digits;
  int64_t number = ReadSaturated(text, &digits);
  if (digits == 0 || number < INT32_MIN || number > INT32_MAX) return false;
  *value = int32_t(number);
  return true;
}

int32_t AtoiSaturated(const char* text) {
  int digits;
  int64_t number = ReadSaturated(text, &digits);
  if (number < INT32_MIN) return INT32_MIN;
  if (number > INT32_MAX) return INT32_MAX;
  return int32_t(number);
}

bool EnvironmentInt32(const char* name, int32_t* value) {
  char text[16];
  DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
  return length > 0 && length < sizeof text && ParseInt32(text, value);
}
