// The formatter against the C library's "%f" and "%d" on values where they could differ.
#include "common/number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string Ours(double v) {
  char buf[kFixed6Max];
  return std::string(buf, FormatFixed6(buf, v));
}

std::string Printf(double v) {
  char buf[kFixed6Max + 1];
  int n = std::snprintf(buf, sizeof buf, "%f", v);
  return std::string(buf, static_cast<size_t>(n));
}

TEST(NumberFormat, FixedIsPrintfsFOnHardValues) {
  const double values[] = {
      0.0, -0.0, 1e-7, -1e-7, -4e-7,           // rounding to a signed zero
      0.0078125, 0.0234375, -0.0078125,        // exactly halfway: to even
      0.0000005, 1.0000005, 2.5e-6, 0.9999995,  // near halfway, not on it
      999.9999995, 999999.9999995, 0.5, 1.5,
      999, 54.000013, 10.99999, -179.999999, 89.9999995,
      4294967296.0, 9007199254740993.0, 1e15, 1e17, 1.7976931348623157e308, -DBL_MAX,
      DBL_MIN, 4.9e-324, -DBL_MIN, 123456789.123456789,
      NAN, -NAN, INFINITY, -INFINITY,
  };
  for (double v : values) EXPECT_EQ(Ours(v), Printf(v)) << "bits of " << v;
}

TEST(NumberFormat, FixedIsPrintfsFOnManyValues) {
  std::mt19937_64 bits(27);
  std::uniform_real_distribution<double> coord(-180.0, 180.0);
  for (int i = 0; i < 200000; ++i) {
    uint64_t b = bits();
    double any;
    std::memcpy(&any, &b, sizeof any);
    double c = coord(bits);
    ASSERT_EQ(Ours(any), Printf(any));
    ASSERT_EQ(Ours(c), Printf(c));
    ASSERT_EQ(Ours(std::round(c * 1e7) / 1e7), Printf(std::round(c * 1e7) / 1e7));  // 7th decimal a 5 at times
  }
}

TEST(NumberFormat, IntIsPrintfsD) {
  for (int32_t v : {0, 7, -1, 10, -10, 1700000000, INT_MAX, INT_MIN, INT_MIN + 1}) {
    char ours[11], theirs[16];
    std::snprintf(theirs, sizeof theirs, "%d", v);
    EXPECT_EQ(std::string(ours, FormatInt(ours, v)), theirs);
  }
}

}  // namespace
