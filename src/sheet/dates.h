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

// `epoch + timedelta(days=days) + timedelta(milliseconds=ms)` for a naive epoch.
DateResult finish(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days,
                  std::int64_t ms) noexcept;

// An integer serial: 0 is midnight (a time), anything else a date at midnight.
DateResult from_excel_int(std::int64_t value, const Epoch& epoch) noexcept;

// A float serial: below one day a time of day, else a date and time, to the millisecond.
DateResult from_excel_float(double value, const Epoch& epoch) noexcept;

}  // namespace tovrel
