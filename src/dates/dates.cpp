// Serial date conversion: integer and floating serials, the Windows
// leap-year adjustment and the shared final step with its range checks.
#include "dates/dates.h"

#include <cmath>

namespace vlm {

namespace {

constexpr int64_t US_PER_DAY = 86400000000;
constexpr int64_t MS_PER_DAY = 86400000;
// 0001-01-01 counted from 1970-01-01 in the civil-date algorithm below.
constexpr int64_t ORDINAL_SHIFT = 719162;

int64_t floor_div(int64_t a, int64_t b) noexcept {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

SerialPoint time_of_day(int64_t ms) noexcept { return {DateKind::Time, 0, ms * 1000}; }

bool in_calendar(int64_t d) noexcept { return d >= 0 && d <= MAX_DAY_NUMBER; }

}  // namespace

// Civil-date arithmetic on 400-year eras of 146,097 days, with the year
// starting on 1 March so that the leap day falls at the end of a year.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;                                // [0, 399]
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;        // [0, 146096]
    return era * 146097 + doe - 719468 + ORDINAL_SHIFT;
}

void civil_from_days(int64_t n, int32_t& year, int32_t& month, int32_t& day) noexcept {
    const int64_t z = n - ORDINAL_SHIFT + 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int32_t>(yoe + era * 400 + (m <= 2));
    month = static_cast<int32_t>(m);
    day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
}

Epoch Epoch::from_fields(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                         int64_t second, int64_t microsecond, bool windows) noexcept {
    return {days_from_civil(year, month, day),
            ((hour * 60 + minute) * 60 + second) * 1000000 + microsecond, windows};
}

namespace {

SerialPoint finish_point(const Epoch& epoch, int64_t days, int64_t ms) noexcept {
    int64_t d, us;
    if (__builtin_add_overflow(epoch.day_number, days, &d))
        return {};
    if (__builtin_add_overflow(d, floor_div(epoch.time_us, US_PER_DAY), &d))
        return {};
    int64_t rem = epoch.time_us - floor_div(epoch.time_us, US_PER_DAY) * US_PER_DAY;
    // epoch + timedelta(days) must itself be a valid datetime before the
    // milliseconds are added.
    if (!in_calendar(d))
        return {};
    if (__builtin_mul_overflow(ms, int64_t{1000}, &us) || __builtin_add_overflow(rem, us, &rem))
        return {};
    d += floor_div(rem, US_PER_DAY);  // d is small here, rem / US_PER_DAY too
    rem -= floor_div(rem, US_PER_DAY) * US_PER_DAY;
    if (!in_calendar(d))
        return {};
    return {DateKind::DateTime, d, rem};
}

}  // namespace

DateResult date_fields(const SerialPoint& p) noexcept {
    DateResult r;
    r.kind = p.kind;
    if (p.kind == DateKind::Declined)
        return r;
    if (p.kind == DateKind::DateTime)
        civil_from_days(p.day, r.year, r.month, r.day);
    const int64_t secs = p.us / 1000000;
    r.hour = static_cast<int32_t>(secs / 3600);
    r.minute = static_cast<int32_t>((secs / 60) % 60);
    r.second = static_cast<int32_t>(secs % 60);
    r.microsecond = static_cast<int32_t>(p.us % 1000000);
    return r;
}

DateResult finish(const Epoch& epoch, int64_t days, int64_t ms) noexcept {
    return date_fields(finish_point(epoch, days, ms));
}

SerialPoint serial_point_int(const Epoch& epoch, int64_t n) noexcept {
    if (n == 0)
        return time_of_day(0);
    // Serial 60 is the 1900-02-29 that never was: the serials before it
    // count from one day later.
    if (epoch.windows && n >= 1 && n <= 59)
        n += 1;
    if (n > MAX_TIMEDELTA_DAYS || n < -MAX_TIMEDELTA_DAYS)
        return {};
    return finish_point(epoch, n, 0);
}

namespace {

// divmod(x, 1) as Python computes it, and the fraction in milliseconds as
// round(fraction * 86400 * 1000) gives it: false where Python's arithmetic
// fails (an infinite or NaN serial).
bool serial_parts(double x, double& day, int64_t& ms) noexcept {
    if (!std::isfinite(x))
        return false;
    // The remainder takes the sign of the divisor, so -0.25 splits into
    // day -1 and fraction 0.75.
    double fraction = std::fmod(x, 1.0);
    day = x - fraction;
    if (fraction == 0.0) {
        fraction = 0.0;
    } else if (fraction < 0.0) {
        fraction += 1.0;
        day -= 1.0;
    }
    // Rounded like Python's round(): to nearest, ties to even.
    const double product = fraction * 86400.0 * 1000.0;
    if (!std::isfinite(product))
        return false;
    ms = static_cast<int64_t>(std::nearbyint(product));
    return true;
}

DurationResult duration_us(int64_t days, int64_t ms) noexcept {
    int64_t us;
    if (days > MAX_TIMEDELTA_DAYS || days < -MAX_TIMEDELTA_DAYS)
        return {};
    if (__builtin_mul_overflow(days, US_PER_DAY, &us) || __builtin_add_overflow(us, ms * 1000, &us))
        return {false, std::nullopt};
    return {false, us};
}

}  // namespace

SerialPoint serial_point_float(const Epoch& epoch, double x) noexcept {
    double day;
    int64_t ms;
    if (!serial_parts(x, day, ms))
        return {};
    if (x >= 0.0 && x < 1.0 && ms >= 0 && ms < MS_PER_DAY)
        return time_of_day(ms);
    if (epoch.windows && x > 0.0 && x < 60.0)
        day += 1.0;
    if (!(std::fabs(day) <= static_cast<double>(MAX_TIMEDELTA_DAYS)))
        return {};
    return finish_point(epoch, static_cast<int64_t>(day), ms);
}

DurationResult duration_us_int(int64_t n) noexcept { return duration_us(n, 0); }

DurationResult duration_us_float(double x) noexcept {
    double day;
    int64_t ms;
    if (!serial_parts(x, day, ms) || !(std::fabs(day) <= static_cast<double>(MAX_TIMEDELTA_DAYS)))
        return {};
    return duration_us(static_cast<int64_t>(day), ms);
}

DateResult from_excel_int(const Epoch& epoch, int64_t n) noexcept {
    return date_fields(serial_point_int(epoch, n));
}

DateResult from_excel_float(const Epoch& epoch, double x) noexcept {
    return date_fields(serial_point_float(epoch, x));
}

double to_serial(const DateResult& d, const Epoch& epoch) noexcept {
    const int64_t secs = int64_t{d.hour} * 3600 + d.minute * 60 + d.second;
    const double tod = (d.microsecond / 1e6 + static_cast<double>(secs)) / 86400;
    if (d.kind == DateKind::Time)
        return tod;
    const int64_t days = days_from_civil(d.year, d.month, d.day) - epoch.day_number;
    const int64_t us = days * US_PER_DAY + (secs * 1000000 + d.microsecond - epoch.time_us);
    int64_t whole = floor_div(us, US_PER_DAY);
    if (epoch.windows && whole > 0 && whole <= 60)
        --whole;
    return static_cast<double>(whole) + tod;
}

}  // namespace vlm
