// Date serial conversions: the boundary table on both epochs, rounding, range limits and the
// day-number arithmetic underneath.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "sheet/dates.h"

namespace tovrel {

void PrintTo(const DateResult& r, std::ostream* os) {
    switch (r.kind) {
        case DateResult::Kind::OutOfRange: *os << "OutOfRange"; return;
        case DateResult::Kind::Time: *os << "Time("; break;
        case DateResult::Kind::DateTime:
            *os << "DateTime(" << r.year << "-" << r.month << "-" << r.day << " ";
            break;
    }
    *os << r.hour << ":" << r.minute << ":" << r.second << "." << r.microsecond << ")";
}

namespace {

const Epoch kWindows = Epoch::make(1899, 12, 30, 0, 0, 0, 0, true);
const Epoch kMac = Epoch::make(1904, 1, 1, 0, 0, 0, 0, false);

DateResult dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    return DateResult::date_time(y, mo, d, h, mi, s, us);
}
DateResult tm(int h, int mi = 0, int s = 0, int us = 0) { return DateResult::time(h, mi, s, us); }
const DateResult kOut = DateResult::out_of_range();

TEST(Epoch, DayNumbersOfKnownDates) {
    struct Case {
        int y, m, d;
        std::int64_t days;
    };
    const Case cases[] = {
        {1, 1, 1, 0},          {1, 12, 31, 364},       {2, 1, 1, 365},
        {1899, 12, 30, 693593}, {1904, 1, 1, 695055},   {1970, 1, 1, 719162},
        {2000, 2, 29, 730178},  {2000, 3, 1, 730179},   {9999, 12, 31, 3652058},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(days_from_civil(c.y, c.m, c.d), c.days) << c.y << "-" << c.m << "-" << c.d;
        const CivilDate back = civil_from_days(c.days);
        EXPECT_EQ(back.year, c.y);
        EXPECT_EQ(back.month, c.m);
        EXPECT_EQ(back.day, c.d);
    }
    EXPECT_EQ(kWindows.days, 693593);
    EXPECT_EQ(kMac.days, 695055);
    EXPECT_EQ(kWindows.micros, 0);
    EXPECT_EQ(Epoch::make(1900, 1, 1, 12, 30, 15, 250, false).micros,
              ((12 * 60 + 30) * 60 + 15) * 1000000LL + 250);
}

// Walks every day of the representable range: each day number maps to the calendar successor
// of the previous one, and back to itself.
TEST(Epoch, CivilDatesRoundTripOverTheWholeRange) {
    const int month_len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::int64_t y = 1;
    int m = 1;
    int d = 1;
    for (std::int64_t n = 0; n <= kMaxDayNumber; ++n) {
        const CivilDate c = civil_from_days(n);
        ASSERT_TRUE(c.year == y && c.month == m && c.day == d) << "day number " << n;
        ASSERT_EQ(days_from_civil(y, m, d), n);
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        const int len = month_len[m - 1] + (m == 2 && leap ? 1 : 0);
        if (++d > len) {
            d = 1;
            if (++m > 12) m = 1, ++y;
        }
    }
    EXPECT_EQ(y, 10000);
}

struct IntCase {
    std::int64_t serial;
    DateResult windows;
    DateResult mac;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << "serial " << c.serial; }

class FromExcelInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(FromExcelInt, OnBothEpochs) {
    const IntCase& c = GetParam();
    EXPECT_EQ(from_excel_int(c.serial, kWindows), c.windows) << "serial " << c.serial;
    EXPECT_EQ(from_excel_int(c.serial, kMac), c.mac) << "serial " << c.serial;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FromExcelInt,
    ::testing::Values(IntCase{0, tm(0), tm(0)},
                      IntCase{1, dt(1900, 1, 1), dt(1904, 1, 2)},
                      IntCase{2, dt(1900, 1, 2), dt(1904, 1, 3)},
                      IntCase{59, dt(1900, 2, 28), dt(1904, 2, 29)},
                      IntCase{60, dt(1900, 2, 28), dt(1904, 3, 1)},
                      IntCase{61, dt(1900, 3, 1), dt(1904, 3, 2)},
                      IntCase{-1, dt(1899, 12, 29), dt(1903, 12, 31)},
                      IntCase{-693593, dt(1, 1, 1), dt(5, 1, 2)},
                      IntCase{-693594, kOut, dt(5, 1, 1)},
                      IntCase{-695055, kOut, dt(1, 1, 1)},
                      IntCase{-695056, kOut, kOut},
                      IntCase{2957003, dt(9995, 12, 30), dt(9999, 12, 31)},
                      IntCase{2957004, dt(9995, 12, 31), kOut},
                      IntCase{2958465, dt(9999, 12, 31), kOut},
                      IntCase{2958466, kOut, kOut},
                      IntCase{999999999, kOut, kOut},
                      IntCase{1000000000, kOut, kOut},
                      IntCase{-1000000000, kOut, kOut},
                      IntCase{std::numeric_limits<std::int64_t>::max(), kOut, kOut},
                      IntCase{std::numeric_limits<std::int64_t>::min(), kOut, kOut}));

struct FloatCase {
    double serial;
    DateResult windows;
    DateResult mac;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << "serial " << c.serial; }

class FromExcelFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FromExcelFloat, OnBothEpochs) {
    const FloatCase& c = GetParam();
    EXPECT_EQ(from_excel_float(c.serial, kWindows), c.windows) << "serial " << c.serial;
    EXPECT_EQ(from_excel_float(c.serial, kMac), c.mac) << "serial " << c.serial;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FromExcelFloat,
    ::testing::Values(
        FloatCase{0.0, tm(0), tm(0)},
        FloatCase{-0.0, tm(0), tm(0)},
        FloatCase{0.5, tm(12), tm(12)},
        FloatCase{0.25, tm(6), tm(6)},
        FloatCase{0.999999999, dt(1900, 1, 1), dt(1904, 1, 2)},
        FloatCase{1.0, dt(1900, 1, 1), dt(1904, 1, 2)},
        FloatCase{1.5, dt(1900, 1, 1, 12), dt(1904, 1, 2, 12)},
        FloatCase{59.0, dt(1900, 2, 28), dt(1904, 2, 29)},
        FloatCase{59.75, dt(1900, 2, 28, 18), dt(1904, 2, 29, 18)},
        FloatCase{60.0, dt(1900, 2, 28), dt(1904, 3, 1)},
        FloatCase{60.5, dt(1900, 2, 28, 12), dt(1904, 3, 1, 12)},
        FloatCase{61.0, dt(1900, 3, 1), dt(1904, 3, 2)},
        FloatCase{-0.5, dt(1899, 12, 29, 12), dt(1903, 12, 31, 12)},
        FloatCase{-1.0, dt(1899, 12, 29), dt(1903, 12, 31)},
        FloatCase{-1.25, dt(1899, 12, 28, 18), dt(1903, 12, 30, 18)},
        // divmod(-1e-20, 1) is (-1.0, 1.0): a whole day of milliseconds on day -1.
        FloatCase{-1e-20, dt(1899, 12, 30), dt(1904, 1, 1)},
        FloatCase{2958465.0, dt(9999, 12, 31), kOut},
        FloatCase{2958465.5, dt(9999, 12, 31, 12), kOut},
        FloatCase{2958466.0, kOut, kOut},
        FloatCase{-693593.0, dt(1, 1, 1), dt(5, 1, 2)},
        FloatCase{-693593.5, kOut, dt(5, 1, 1, 12)},
        FloatCase{1e9, kOut, kOut},
        FloatCase{-1e9, kOut, kOut},
        FloatCase{999999999.0, kOut, kOut},
        FloatCase{1e300, kOut, kOut},
        FloatCase{std::nan(""), kOut, kOut},
        FloatCase{kInf, kOut, kOut},
        FloatCase{-kInf, kOut, kOut},
        // Millisecond products that are exactly k + 0.5 round to the even neighbour.
        FloatCase{0.00048828125, tm(0, 0, 42, 188000), tm(0, 0, 42, 188000)},
        FloatCase{0.00146484375, tm(0, 2, 6, 562000), tm(0, 2, 6, 562000)},
        FloatCase{1.00146484375, dt(1900, 1, 1, 0, 2, 6, 562000),
                  dt(1904, 1, 2, 0, 2, 6, 562000)},
        FloatCase{100.00244140625, dt(1900, 4, 9, 0, 3, 30, 938000),
                  dt(1904, 4, 10, 0, 3, 30, 938000)}));

TEST(FromExcel, IntAndFloatAgreeOnWholeDays) {
    for (const Epoch& e : {kWindows, kMac}) {
        for (std::int64_t n = -800000; n <= 3000000; n += 997) {
            EXPECT_EQ(from_excel_int(n, e), from_excel_float(static_cast<double>(n), e))
                << "serial " << n;
        }
    }
}

// The float rule as it reads, with the library's floor and rounding (ties to even in the
// default mode), over a dense sweep of serials: fractions on, beside and half-way between
// milliseconds, around the leap-year days, the ends of the range and negative serials.
DateResult plain_from_excel_float(double x, const Epoch& e) {
    if (!std::isfinite(x)) return kOut;
    double day = std::floor(x);
    const double ms = std::nearbyint((x - day) * 86400.0 * 1000.0);
    if (x >= 0 && x < 1 && ms < 86400000.0) {
        const auto t = static_cast<int>(ms);
        return tm(t / 3600000, t / 60000 % 60, t / 1000 % 60, t % 1000 * 1000);
    }
    if (x > 0 && x < 60 && e.is_windows) day += 1;
    if (std::fabs(day) > 999999999.0) return kOut;
    return finish(e.days, e.micros, static_cast<std::int64_t>(day), static_cast<std::int64_t>(ms));
}

TEST(FromExcel, FloatSweepMatchesThePlainRule) {
    std::vector<double> wholes;
    for (double w : {-695057.0, -693595.0, -1.0, 58.0, 2957002.0, 2958464.0})
        for (int k = 0; k < 4; ++k) wholes.push_back(w + k);
    for (int k = -1; k <= 62; ++k) wholes.push_back(k);
    for (double w : {40000.0, 99999.0, 1e9 - 2, 2147483646.0}) wholes.push_back(w);
    const Epoch odd = Epoch::make(1900, 1, 1, 13, 7, 5, 123456, false);
    std::vector<std::int64_t> mss;
    for (std::int64_t ms = 0; ms < 86400000; ms += 9973) mss.push_back(ms);
    for (std::int64_t ms = 86399990; ms <= 86400000; ++ms) mss.push_back(ms);
    for (double w : wholes) {
        for (std::int64_t ms : mss) {
            for (double half : {0.0, 0.5, 0.4999, 0.5001}) {
                const double x = w + (static_cast<double>(ms) + half) / 86400000.0;
                for (double v : {x, std::nextafter(x, -kInf), std::nextafter(x, kInf)}) {
                    for (const Epoch& e : {kWindows, kMac, odd}) {
                        ASSERT_EQ(from_excel_float(v, e), plain_from_excel_float(v, e))
                            << std::hexfloat << v;
                    }
                }
            }
        }
    }
}

// An epoch at midnight takes a shorter path than one with a time of day; the same instant
// written as the day before plus a whole day of microseconds takes the general one, and both
// must agree everywhere, at the edges of the range too.
TEST(Finish, MidnightEpochsAgreeWithTheGeneralArithmetic) {
    const std::int64_t day_micros = 86400000000LL;
    const std::int64_t epochs[] = {0, 1, 693593, 695055, kMaxDayNumber - 1, kMaxDayNumber};
    const std::int64_t mss[] = {0, 1, 999, 43200000, 86399999, 86400000};
    for (std::int64_t e : epochs) {
        for (std::int64_t days = -800000; days <= 3700000; days += 9973) {
            for (std::int64_t ms : mss) {
                EXPECT_EQ(finish(e, 0, days, ms), finish(e - 1, day_micros, days, ms))
                    << e << " " << days << " " << ms;
            }
        }
        for (std::int64_t days : {-e - 1, -e, kMaxDayNumber - e - 1, kMaxDayNumber - e}) {
            for (std::int64_t ms : mss) {
                EXPECT_EQ(finish(e, 0, days, ms), finish(e - 1, day_micros, days, ms))
                    << e << " " << days << " " << ms;
            }
        }
    }
}

TEST(FromExcel, EpochTimeOfDayIsCarriedExactly) {
    const Epoch e = Epoch::make(1904, 1, 1, 23, 59, 59, 999999, false);
    EXPECT_EQ(from_excel_int(1, e), dt(1904, 1, 2, 23, 59, 59, 999999));
    EXPECT_EQ(from_excel_float(0.5, e), tm(12));  // times ignore the epoch
    EXPECT_EQ(from_excel_float(1.000001, e), dt(1904, 1, 3, 0, 0, 0, 85999));
    // The epoch's time pushes the last representable day over the edge.
    EXPECT_EQ(from_excel_float(2957003.0, e), dt(9999, 12, 31, 23, 59, 59, 999999));
    EXPECT_EQ(from_excel_float(2957003.5, e), kOut);
}

TEST(Finish, FloorsTheEpochTimeAndTheMilliseconds) {
    struct Case {
        std::int64_t epoch_days, epoch_micros, days, ms;
        DateResult expect;
    };
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {693593, 0, 0, 0, dt(1899, 12, 30)},
        {693593, -1, 0, 0, dt(1899, 12, 29, 23, 59, 59, 999999)},
        {693593, 86400000000LL, 0, 0, dt(1899, 12, 31)},
        {693593, 0, 0, -1, dt(1899, 12, 29, 23, 59, 59, 999000)},
        {693593, 0, 1, 86400000, dt(1900, 1, 1)},
        {0, 0, 0, -1, kOut},
        {0, -1, 0, 0, kOut},
        {kMaxDayNumber, 0, 0, 86399999, dt(9999, 12, 31, 23, 59, 59, 999000)},
        {kMaxDayNumber, 0, 0, 86400000, kOut},
        {kMaxDayNumber, 0, 1, -86400000, kOut},  // the date alone is checked first
        {0, 0, -1, 86400000, kOut},
        {693593, 0, 0, 86400000, dt(1899, 12, 31)},
        {693593, 0, 5, 43200000, dt(1900, 1, 4, 12)},
        {max, 0, 1, 0, kOut},
        {-max, 0, -2, 0, kOut},
        {693593, 0, 0, max, kOut},
        {693593, max, 0, 0, kOut},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(finish(c.epoch_days, c.epoch_micros, c.days, c.ms), c.expect)
            << c.epoch_days << " " << c.epoch_micros << " " << c.days << " " << c.ms;
    }
}

}  // namespace
}  // namespace tovrel
