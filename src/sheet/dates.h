// Spreadsheet date serials: day counts from an epoch, with a fraction of a day for the time.
//
// Pure conversions from a serial number to a civil date and time, reproducing the host's
// Python converter (`epoch + timedelta(days=day) + timedelta(milliseconds=ms)`) exactly: the
// same millisecond rounding (ties to even), the same range limits and the 1900 leap-year
// adjustment of the Windows epoch. The Python objects are built from the result elsewhere
// (sheet/py_dates.h).
#pragma once

#include <cstdint>

namespace tovrel {

// Day numbers count from 0001-01-01 = 0; this is 9999-12-31, the last date datetime represents.
inline constexpr std::int64_t kMaxDayNumber = 3652058;
// Largest day count a timedelta accepts.
inline constexpr std::int64_t kMaxSerialDays = 999999999;

// Day number of a proleptic Gregorian date (0001-01-01 = 0). Any year, month 1-12, day 1-31.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept;

struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};

// Inverse of days_from_civil.
CivilDate civil_from_days(std::int64_t days) noexcept;

struct Epoch {
    std::int64_t days = 0;    // day number of the epoch's date
    std::int64_t micros = 0;  // the epoch's time of day in microseconds
    bool is_windows = false;  // the epoch equals the host's WINDOWS_EPOCH (1900 date system)

    static Epoch make(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                      std::int64_t minute, std::int64_t second, std::int64_t microsecond,
                      bool is_windows) noexcept;

    // What serials 1 to 59 gain on this epoch: 1 on the Windows epoch (its phantom 1900-02-29
    // shifts them), else 0.
    std::int64_t leap_adjustment() const noexcept { return is_windows ? 1 : 0; }

    friend bool operator==(const Epoch&, const Epoch&) = default;
};

struct DateResult {
    enum class Kind : std::uint8_t { DateTime, Time, OutOfRange };

    Kind kind = Kind::OutOfRange;
    std::int32_t year = 0;  // DateTime only
    std::int32_t month = 0;
    std::int32_t day = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;
    std::int32_t microsecond = 0;

    static DateResult out_of_range() noexcept { return {}; }
    static DateResult date_time(int year, int month, int day, int hour, int minute, int second,
                                int microsecond) noexcept {
        return {Kind::DateTime, year, month, day, hour, minute, second, microsecond};
    }
    static DateResult time(int hour, int minute, int second, int microsecond) noexcept {
        return {Kind::Time, 0, 0, 0, hour, minute, second, microsecond};
    }

    bool ok() const noexcept { return kind != Kind::OutOfRange; }
    friend bool operator==(const DateResult&, const DateResult&) = default;
};

namespace dates_detail {

inline constexpr std::int64_t kMillisPerDay = 86400000;

// civil_from_days for a day number in range (0 ... kMaxDayNumber), with Neri and Schneider's
// Euclidean affine functions: the days are counted from 0000-03-01 in unsigned 32-bit
// arithmetic, and every division is by a constant (a multiplication) or a shift.
inline CivilDate civil_in_range(std::uint32_t days) noexcept {
    const std::uint32_t n1 = 4 * (days + 306) + 3;
    const std::uint32_t century = n1 / 146097;
    const std::uint32_t n2 = (n1 % 146097) | 3;  // 4 * (day of the century) + 3
    const std::uint64_t p2 = std::uint64_t{2939745} * n2;
    const std::uint32_t year_of_century = static_cast<std::uint32_t>(p2 >> 32);
    const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2939745 / 4;
    const std::uint32_t n3 = 2141 * day_of_year + 197913;
    const std::uint32_t month = n3 >> 16;  // 3 ... 14, March first
    const std::uint32_t day = (n3 & 0xFFFF) / 2141 + 1;
    const bool next_year = day_of_year >= 306;  // January and February
    return {static_cast<std::int64_t>(100 * century + year_of_century + next_year),
            static_cast<int>(next_year ? month - 12 : month), static_cast<int>(day)};
}

// The time of day of `ms` milliseconds (less than a day).
inline DateResult time_of_day(std::uint32_t ms) noexcept {
    const std::uint32_t s = ms / 1000;
    return DateResult::time(static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                            static_cast<int>(s % 60), static_cast<int>((ms - s * 1000) * 1000));
}

// finish for any epoch time and any milliseconds.
DateResult finish_general(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days,
                          std::int64_t ms) noexcept;

}  // namespace dates_detail

// `epoch + timedelta(days=days) + timedelta(milliseconds=ms)` for a naive epoch.
inline DateResult finish(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days,
                         std::int64_t ms) noexcept {
    using namespace dates_detail;
    if (epoch_micros != 0 || ms < 0 || ms > kMillisPerDay)
        return finish_general(epoch_days, epoch_micros, days, ms);
    // An epoch at midnight and at most a day of milliseconds (what every serial has): the day
    // only moves when the milliseconds make up a whole day, and the time of day is the
    // milliseconds themselves.
    std::int64_t d;
    if (__builtin_add_overflow(epoch_days, days, &d) ||
        static_cast<std::uint64_t>(d) > static_cast<std::uint64_t>(kMaxDayNumber))
        return DateResult::out_of_range();
    std::uint32_t t = static_cast<std::uint32_t>(ms);
    if (t == kMillisPerDay) {
        t = 0;
        if (++d > kMaxDayNumber) return DateResult::out_of_range();
    }
    const CivilDate c = civil_in_range(static_cast<std::uint32_t>(d));
    DateResult r = time_of_day(t);
    r.kind = DateResult::Kind::DateTime;
    r.year = static_cast<std::int32_t>(c.year);
    r.month = c.month;
    r.day = c.day;
    return r;
}

// An integer serial: 0 is midnight (a time), anything else a date at midnight.
inline DateResult from_excel_int(std::int64_t value, const Epoch& epoch) noexcept {
    if (value == 0) return DateResult::time(0, 0, 0, 0);
    if (value >= 1 && value <= 59) value += epoch.leap_adjustment();
    if (value > kMaxSerialDays || value < -kMaxSerialDays) return DateResult::out_of_range();
    return finish(epoch.days, epoch.micros, value, 0);
}

// A float serial: below one day a time of day, else a date and time, to the millisecond.
inline DateResult from_excel_float(double x, const Epoch& epoch) noexcept {
    // Beyond 2^31 days (and for NaN and the infinities) the day count is out of range whatever
    // the fraction. Within it the whole part converts to an integer and back exactly, so the
    // divmod and the rounding below are integer steps.
    if (!(x < 2147483648.0 && x > -2147483648.0)) return DateResult::out_of_range();

    // divmod(x, 1): the fraction takes the divisor's sign, so it lies in [0, 1].
    std::int64_t day = static_cast<std::int64_t>(x);  // truncated
    double frac = x - static_cast<double>(day);       // exact
    if (frac < 0) {
        frac += 1.0;  // rounded as the host rounds it: may give exactly 1.0
        --day;
    }

    // Python's round(): to nearest, ties to even. Two multiplications, in this order, so the
    // product is the same double the host computes; it lies in [0, 86400000], so its whole part
    // and the remainder are exact.
    const double product = frac * 86400.0 * 1000.0;
    std::int64_t ms = static_cast<std::int64_t>(product);
    const double rest = product - static_cast<double>(ms);
    ms += static_cast<std::int64_t>((rest > 0.5) | ((rest == 0.5) & ((ms & 1) != 0)));

    if (x >= 0 && x < 1 && ms < dates_detail::kMillisPerDay)
        return dates_detail::time_of_day(static_cast<std::uint32_t>(ms));
    if (x > 0 && x < 60 && epoch.is_windows) ++day;
    if (day > kMaxSerialDays || day < -kMaxSerialDays) return DateResult::out_of_range();
    return finish(epoch.days, epoch.micros, day, ms);
}

}  // namespace tovrel
