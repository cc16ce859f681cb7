// Serial date numbers of a workbook turned into calendar date-times, exactly
// as the package's from_excel does it (epoch + days + milliseconds, with the
// 1900 leap-year rule of the Windows date system), without any Python call.
//
// A conversion either gives a date-time, a time of day (serials in [0, 1)),
// or is declined: the caller then asks the package, which raises where
// Python's datetime arithmetic raises.
#pragma once

#include <cstdint>
#include <optional>

namespace vlm {

// The origin of a workbook's serial numbers.
struct Epoch {
    int64_t day_number;  // days since 0001-01-01 (proleptic Gregorian; that day is 0)
    int64_t time_us;     // microseconds since the epoch day's midnight
    bool windows;        // the epoch is the package's WINDOWS_EPOCH (1899-12-30)

    // The fields of a valid naive datetime; nothing is range-checked.
    static Epoch from_fields(int64_t year, int64_t month, int64_t day, int64_t hour,
                             int64_t minute, int64_t second, int64_t microsecond,
                             bool windows) noexcept;
};

enum class DateKind : unsigned char { DateTime, Time, Declined };

struct DateResult {
    DateKind kind = DateKind::Declined;
    int32_t year = 0, month = 0, day = 0;  // DateTime only
    int32_t hour = 0, minute = 0, second = 0, microsecond = 0;

    static DateResult declined() noexcept { return {}; }
};

// The last day that Python's datetime can hold, 9999-12-31.
inline constexpr int64_t MAX_DAY_NUMBER = 3652058;
// timedelta(days=n) refuses a larger magnitude.
inline constexpr int64_t MAX_TIMEDELTA_DAYS = 999999999;

// The same conversion before the calendar fields are worked out: a day
// number (days since 0001-01-01) and microseconds into that day for a
// date-time, microseconds since midnight for a time of day. The columnar
// job keeps these as they are.
struct SerialPoint {
    DateKind kind = DateKind::Declined;
    int64_t day = 0;  // DateTime only
    int64_t us = 0;   // into the day
};
[[nodiscard]] SerialPoint serial_point_int(const Epoch& epoch, int64_t n) noexcept;
[[nodiscard]] SerialPoint serial_point_float(const Epoch& epoch, double x) noexcept;
// A duration-formatted serial as from_excel(..., timedelta=True) reads it,
// timedelta(days=day) + timedelta(milliseconds=ms), in microseconds:
// declined where Python refuses it (the package then warns and reads an
// error), and without a value where the timedelta exists but leaves the
// 64 bits of Arrow's duration[us] (beyond about 292,000 years).
struct DurationResult {
    bool declined = true;
    std::optional<int64_t> us;
};
[[nodiscard]] DurationResult duration_us_int(int64_t n) noexcept;
[[nodiscard]] DurationResult duration_us_float(double x) noexcept;
// The calendar fields of a point.
[[nodiscard]] DateResult date_fields(const SerialPoint& p) noexcept;

[[nodiscard]] DateResult from_excel_int(const Epoch& epoch, int64_t n) noexcept;
[[nodiscard]] DateResult from_excel_float(const Epoch& epoch, double x) noexcept;
// epoch + timedelta(days=days) + timedelta(milliseconds=ms), or declined
// where that would leave the years 1 to 9999.
[[nodiscard]] DateResult finish(const Epoch& epoch, int64_t days, int64_t ms) noexcept;

// The serial number of a date-time or time of day under `epoch`, as the
// package's to_excel computes it: whole days from the epoch (floored, with
// the 1900 leap-year rule of the Windows epoch) plus the value's own time
// of day. `d` is not declined.
[[nodiscard]] double to_serial(const DateResult& d, const Epoch& epoch) noexcept;

// Days since 0001-01-01 of a proleptic Gregorian date, and back.
[[nodiscard]] int64_t days_from_civil(int64_t year, int64_t month, int64_t day) noexcept;
void civil_from_days(int64_t d, int32_t& year, int32_t& month, int32_t& day) noexcept;

}  // namespace vlm
