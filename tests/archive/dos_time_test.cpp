// Packed DOS date and time: packing in local time, the zone correction when
// unpacking, and the validity rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "archive/dos_time.h"

namespace {

// Runs the tests of this file in a fixed zone five hours behind UTC (no summer time).
class DosTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    hadZone_ = old != nullptr;
    if (hadZone_) oldZone_ = old;
    setenv("TZ", "EST5", 1);
    tzset();
  }
  void TearDown() override {
    if (hadZone_)
      setenv("TZ", oldZone_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return int64_t(mktime(&t));
  }

 private:
  bool hadZone_ = false;
  std::string oldZone_;
};

TEST_F(DosTimeTest, PacksLocalTimeAndDropsTheOddSecond) {
  int64_t stamp = local_seconds(1997, 2, 15, 21, 25, 31);
  EXPECT_EQ(stamp, 856059931);  // 1997-02-16 02:25:31 UTC
  EXPECT_EQ(pack_dos_time(stamp), 0x224FAB2Fu);
  EXPECT_EQ(pack_dos_time(stamp - 1), 0x224FAB2Fu);
}

TEST_F(DosTimeTest, UnpackCorrectsForTheZone) {
  EXPECT_EQ(unpack_dos_time(0x224FAB2F), local_seconds(1997, 2, 15, 21, 25, 30));
  EXPECT_EQ(unpack_dos_time(0x1E8994E2), local_seconds(1995, 4, 9, 18, 39, 4));
  EXPECT_EQ(unpack_dos_time(0), 0);
}

TEST_F(DosTimeTest, RoundTripsEvenSecondsAcrossTheRange) {
  for (int64_t t = 315550800; t < 4000000000LL; t += 86400LL * 37 + 3602)
    ASSERT_EQ(unpack_dos_time(pack_dos_time(t)), t & ~int64_t(1)) << t;
}

// The field holds 1980 to 2107: times outside are held at its ends, never
// wrapped into another century; nothing in between is cut at 2038.
TEST_F(DosTimeTest, TimesOutsideTheFieldAreHeldAtItsEnds) {
  const struct {
    const char* what;
    int64_t seconds;
    uint32_t packed;
  } rows[] = {
      {"1960", local_seconds(1960, 5, 1, 12, 0, 0), DOS_TIME_FIRST},
      {"1975", local_seconds(1975, 6, 1, 12, 0, 1), DOS_TIME_FIRST},
      {"the last second of 1979", local_seconds(1979, 12, 31, 23, 59, 59), DOS_TIME_FIRST},
      {"the first second of 1980", local_seconds(1980, 1, 1, 0, 0, 0), 0x00210000u},
      {"2040", local_seconds(2040, 7, 14, 10, 20, 31), 0x78EE528Fu},
      {"the last second of 2107", local_seconds(2107, 12, 31, 23, 59, 59), DOS_TIME_LAST},
      {"2108", local_seconds(2108, 1, 1, 0, 0, 0), DOS_TIME_LAST},
      {"2300", local_seconds(2300, 1, 1, 0, 0, 0), DOS_TIME_LAST},
  };
  for (const auto& row : rows) EXPECT_EQ(pack_dos_time(row.seconds), row.packed) << row.what;
  EXPECT_EQ(unpack_dos_time(DOS_TIME_FIRST), local_seconds(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(unpack_dos_time(DOS_TIME_LAST), local_seconds(2107, 12, 31, 23, 59, 58));
}

// Builds a packed value from its fields, without checking them.
uint32_t packed(unsigned yearsSince1980, unsigned month, unsigned day, unsigned hour, unsigned minute,
                unsigned halfSeconds) {
  return yearsSince1980 << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | halfSeconds;
}

TEST_F(DosTimeTest, InvalidValuesUnpackToMinusOne) {
  struct Row {
    const char* what;
    uint32_t value;
  } rows[] = {
      {"month 0", packed(17, 0, 15, 10, 0, 0)},
      {"month 13", packed(17, 13, 15, 10, 0, 0)},
      {"day 0", packed(17, 2, 0, 10, 0, 0)},
      {"April 31", packed(17, 4, 31, 10, 0, 0)},
      {"February 29 in 1997", packed(17, 2, 29, 10, 0, 0)},
      {"February 29 in 2100", packed(120, 2, 29, 10, 0, 0)},
      {"hour 24", packed(17, 2, 15, 24, 0, 0)},
      {"minute 60", packed(17, 2, 15, 10, 60, 0)},
      {"second 62", packed(17, 2, 15, 10, 0, 31)},
  };
  for (const Row& row : rows) EXPECT_EQ(unpack_dos_time(row.value), -1) << row.what;
  EXPECT_NE(unpack_dos_time(packed(20, 2, 29, 10, 0, 0)), -1);  // 2000 is a leap year
  EXPECT_NE(unpack_dos_time(packed(16, 2, 29, 10, 0, 0)), -1);  // so is 1996
  EXPECT_NE(unpack_dos_time(packed(17, 2, 15, 23, 59, 29)), -1);
}

}  // namespace
