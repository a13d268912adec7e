// Packed DOS date and time in local time, converted with the C library's
// local-time conversion; unpacking corrects for the zone without mktime.
#include "archive/dos_time.h"

#include <ctime>

namespace {

constexpr int kFirstYear = 1980;
constexpr int kLastYear = 2107;

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1..12).
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Seconds since 1970 of a broken-down time read as if it were UTC.
int64_t seconds_as_utc(const struct tm& t) {
  int64_t days = days_from_civil(int64_t(t.tm_year) + 1900, t.tm_mon + 1, t.tm_mday);
  return days * 86400 + int64_t(t.tm_hour) * 3600 + t.tm_min * 60 + t.tm_sec;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int year, int month0) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month0 == 1 && is_leap(year) ? 29 : kDays[month0];
}

}  // namespace

uint32_t pack_dos_time(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return 0;
  // The field holds the years 1980 to 2107; a time outside them is held at
  // the nearest end rather than wrapped into another century.
  if (local.tm_year < kFirstYear - 1900) return DOS_TIME_FIRST;
  if (local.tm_year > kLastYear - 1900) return DOS_TIME_LAST;
  uint32_t year = static_cast<uint32_t>(local.tm_year - (kFirstYear - 1900));
  return year << 25 | uint32_t(local.tm_mon + 1) << 21 | uint32_t(local.tm_mday) << 16 |
         uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
}

int64_t unpack_dos_time(uint32_t packed) {
  if (packed == 0) return 0;
  struct tm t = {};
  t.tm_sec = int(packed & 0x1F) * 2;
  t.tm_min = int(packed >> 5 & 0x3F);
  t.tm_hour = int(packed >> 11 & 0x1F);
  t.tm_mday = int(packed >> 16 & 0x1F);
  t.tm_mon = int(packed >> 21 & 0x0F) - 1;
  t.tm_year = int(packed >> 25) + 80;
  if (t.tm_year < 70 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 ||
      t.tm_mday > month_length(t.tm_year + 1900, t.tm_mon) || t.tm_hour > 23 || t.tm_min > 59 ||
      t.tm_sec > 61)
    return -1;
  int64_t t1 = seconds_as_utc(t);
  // t1 is the wall-clock reading taken as UTC; the zone offset found at t1
  // moves it to the instant whose local reading it is.
  time_t asTime = static_cast<time_t>(t1);
  struct tm local;
  if (localtime_r(&asTime, &local) == nullptr) return t1;
  int64_t t2 = seconds_as_utc(local);
  return 2 * t1 - t2;
}
