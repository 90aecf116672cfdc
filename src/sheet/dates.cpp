#include "sheet/dates.h"


namespace tovrel {

namespace {

constexpr std::int64_t kMicrosPerDay = 86400000000LL;

// Floor division and its non-negative remainder.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr bool in_day_range(std::int64_t d) noexcept {
    return static_cast<std::uint64_t>(d) <= static_cast<std::uint64_t>(kMaxDayNumber);
}

}  // namespace

std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;                  // [0, 399]
    const std::int64_t mp = (month + 9) % 12;                // March = 0
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;   // [0, 365]
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 306;
}

CivilDate civil_from_days(std::int64_t days) noexcept {
    if (static_cast<std::uint64_t>(days) <= static_cast<std::uint64_t>(kMaxDayNumber))
        return dates_detail::civil_in_range(static_cast<std::uint32_t>(days));
    // Shift so that day 0 is 0000-03-01, the start of a 400-year era.
    const std::int64_t z = days + 306;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;                                     // [0, 146096]
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);              // [0, 365]
    const std::int64_t mp = (5 * doy + 2) / 153;                                   // [0, 11]
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {y, m, d};
}

Epoch Epoch::make(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                  std::int64_t minute, std::int64_t second, std::int64_t microsecond,
                  bool is_windows) noexcept {
    Epoch e;
    e.days = days_from_civil(year, month, day);
    e.micros = ((hour * 60 + minute) * 60 + second) * 1000000 + microsecond;
    e.is_windows = is_windows;
    return e;
}

namespace {

// The day number and the microsecond of the day of `epoch + timedelta(days=days) +
// timedelta(milliseconds=ms)`, or false when that is outside the range of datetime.
bool moment(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days, std::int64_t ms,
            std::int64_t& day, std::int64_t& micros) noexcept {
    std::int64_t d;
    if (__builtin_add_overflow(epoch_days, days, &d)) return false;

    const std::int64_t q = floor_div(epoch_micros, kMicrosPerDay);
    const std::int64_t r = epoch_micros - q * kMicrosPerDay;
    if (__builtin_add_overflow(d, q, &d) || !in_day_range(d)) return false;

    std::int64_t t;
    std::int64_t ms_micros;
    if (__builtin_mul_overflow(ms, std::int64_t{1000}, &ms_micros) ||
        __builtin_add_overflow(r, ms_micros, &t))
        return false;
    const std::int64_t q2 = floor_div(t, kMicrosPerDay);
    micros = t - q2 * kMicrosPerDay;
    if (__builtin_add_overflow(d, q2, &d) || !in_day_range(d)) return false;
    day = d;
    return true;
}

}  // namespace

DateResult dates_detail::finish_general(std::int64_t epoch_days, std::int64_t epoch_micros,
                                       std::int64_t days, std::int64_t ms) noexcept {
    std::int64_t d, r2;
    if (!moment(epoch_days, epoch_micros, days, ms, d, r2)) return DateResult::out_of_range();
    const CivilDate c = civil_from_days(d);
    return DateResult::date_time(static_cast<int>(c.year), c.month, c.day,
                                 static_cast<int>(r2 / 3600000000LL),
                                 static_cast<int>((r2 / 60000000LL) % 60),
                                 static_cast<int>((r2 / 1000000LL) % 60),
                                 static_cast<int>(r2 % 1000000LL));
}

}  // namespace tovrel
