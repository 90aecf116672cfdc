#include "sheet/dates.h"

#include <cmath>

namespace tovrel {

namespace {

constexpr std::int64_t kMicrosPerDay = 86400000000LL;
constexpr std::int64_t kMillisPerDay = 86400000LL;

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

namespace {

// Day number (in range) to civil date with Neri and Schneider's Euclidean affine functions: the
// days are counted from 0000-03-01 in unsigned 32-bit arithmetic, and every division is by a
// constant (a multiplication) or a shift.
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

}  // namespace

CivilDate civil_from_days(std::int64_t days) noexcept {
    if (static_cast<std::uint64_t>(days) <= static_cast<std::uint64_t>(kMaxDayNumber))
        return civil_in_range(static_cast<std::uint32_t>(days));
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

// The parts of a float serial: whole days (1900 adjustment applied) and milliseconds, or a time
// of day. What from_excel_float and excel_float_in_range share.
struct FloatSerial {
    enum class Kind : std::uint8_t { Moment, Time, OutOfRange } kind;
    std::int64_t day = 0;
    std::int64_t ms = 0;
};

FloatSerial split_float_serial(double x, const Epoch& epoch) noexcept {
    // Beyond 2^31 days (and for NaN and the infinities) the day count is out of range whatever
    // the fraction. Within it the whole part converts to an integer and back exactly, so the
    // divmod and the rounding below are integer steps.
    if (!(std::fabs(x) < 2147483648.0)) return {FloatSerial::Kind::OutOfRange};

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

    if (x >= 0 && x < 1 && ms < kMillisPerDay) return {FloatSerial::Kind::Time, 0, ms};
    if (x > 0 && x < 60 && epoch.is_windows) ++day;
    if (day > kMaxSerialDays || day < -kMaxSerialDays) return {FloatSerial::Kind::OutOfRange};
    return {FloatSerial::Kind::Moment, day, ms};
}

// An integer serial's day count (1900 adjustment applied), or false when it is out of range
// before any arithmetic. 0 is handled by the callers (midnight, a time).
bool int_serial_days(std::int64_t value, const Epoch& epoch, std::int64_t& days) noexcept {
    if (value >= 1 && value <= 59) value += epoch.leap_adjustment();
    if (value > kMaxSerialDays || value < -kMaxSerialDays) return false;
    days = value;
    return true;
}

}  // namespace

DateResult finish(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days,
                  std::int64_t ms) noexcept {
    if (epoch_micros == 0 && ms >= 0 && ms <= kMillisPerDay) {
        // An epoch at midnight and at most a day of milliseconds (what every serial has): the
        // day only moves when the milliseconds make up a whole day, and the time of day is
        // the milliseconds themselves.
        std::int64_t d;
        if (__builtin_add_overflow(epoch_days, days, &d)) return DateResult::out_of_range();
        if (!in_day_range(d)) return DateResult::out_of_range();
        std::uint32_t t = static_cast<std::uint32_t>(ms);
        if (t == kMillisPerDay) {
            t = 0;
            if (!in_day_range(++d)) return DateResult::out_of_range();
        }
        const CivilDate c = civil_in_range(static_cast<std::uint32_t>(d));
        return DateResult::date_time(static_cast<int>(c.year), c.month, c.day,
                                     static_cast<int>(t / 3600000u),
                                     static_cast<int>(t / 60000u % 60u),
                                     static_cast<int>(t / 1000u % 60u),
                                     static_cast<int>(t % 1000u * 1000u));
    }
    std::int64_t d, r2;
    if (!moment(epoch_days, epoch_micros, days, ms, d, r2)) return DateResult::out_of_range();
    const CivilDate c = civil_from_days(d);
    return DateResult::date_time(static_cast<int>(c.year), c.month, c.day,
                                 static_cast<int>(r2 / 3600000000LL),
                                 static_cast<int>((r2 / 60000000LL) % 60),
                                 static_cast<int>((r2 / 1000000LL) % 60),
                                 static_cast<int>(r2 % 1000000LL));
}

DateResult from_excel_int(std::int64_t value, const Epoch& epoch) noexcept {
    if (value == 0) return DateResult::time(0, 0, 0, 0);
    std::int64_t days;
    if (!int_serial_days(value, epoch, days)) return DateResult::out_of_range();
    return finish(epoch.days, epoch.micros, days, 0);
}

DateResult from_excel_float(double x, const Epoch& epoch) noexcept {
    const FloatSerial s = split_float_serial(x, epoch);
    switch (s.kind) {
        case FloatSerial::Kind::OutOfRange: return DateResult::out_of_range();
        case FloatSerial::Kind::Time:
            return DateResult::time(static_cast<int>(s.ms / 3600000),
                                    static_cast<int>((s.ms / 60000) % 60),
                                    static_cast<int>((s.ms / 1000) % 60),
                                    static_cast<int>((s.ms % 1000) * 1000));
        case FloatSerial::Kind::Moment: break;
    }
    return finish(epoch.days, epoch.micros, s.day, s.ms);
}

}  // namespace tovrel
