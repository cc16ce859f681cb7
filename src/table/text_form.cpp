// Python's str() of numbers, booleans, dates, times and durations.
#include "table/text_form.h"

#include "dates/dates.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vlm::table {

namespace {

constexpr int64_t US_PER_SECOND = 1000000;
constexpr int64_t US_PER_DAY = 86400 * US_PER_SECOND;
// 1970-01-01 as a day number since 0001-01-01.
constexpr int64_t UNIX_DAY = 719162;

int64_t floor_div(int64_t a, int64_t b) noexcept {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Zero-padded to `width` digits.
void append_padded(std::string& out, int64_t v, int width) {
    char buf[24];
    int n = std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
    out.append(buf, static_cast<size_t>(n));
}

// "HH:MM:SS" and ".ffffff" when there are microseconds; `hours` unpadded
// for durations ("2:00:00"), padded for times ("02:00:00").
void append_clock(std::string& out, int64_t us, bool pad_hours) {
    int64_t secs = us / US_PER_SECOND, frac = us % US_PER_SECOND;
    if (pad_hours)
        append_padded(out, secs / 3600, 2);
    else
        append_int(out, secs / 3600);
    out += ':';
    append_padded(out, secs / 60 % 60, 2);
    out += ':';
    append_padded(out, secs % 60, 2);
    if (frac) {
        out += '.';
        append_padded(out, frac, 6);
    }
}

}  // namespace

void append_int(std::string& out, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Python's float_repr_style "short": the shortest round-tripping digits
// d1 d2 ... dn with the decimal point after `point` of them (point =
// exponent + 1). Fixed notation when -4 < point <= 16, with ".0" added to
// an integral value; otherwise d1.d2...dn e[+-]XX, at least two exponent
// digits. 1e16 -> "1e+16", 1234.5 -> "1234.5", 0.0001 -> "0.0001",
// 0.00001 -> "1e-05", 100.0 -> "100.0".
void append_float(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    // buf: [-]d[.ddd]e[+-]XX
    const char* p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[20];
    int n = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.')
            digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);
    int point = exponent + 1;
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<size_t>(-point), '0');
            out.append(digits, static_cast<size_t>(n));
        } else if (point >= n) {
            out.append(digits, static_cast<size_t>(n));
            out.append(static_cast<size_t>(point - n), '0');
            out += ".0";
        } else {
            out.append(digits, static_cast<size_t>(point));
            out += '.';
            out.append(digits + point, static_cast<size_t>(n - point));
        }
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out.append(digits + 1, static_cast<size_t>(n - 1));
    }
    out += exponent < 0 ? "e-" : "e+";
    append_padded(out, exponent < 0 ? -exponent : exponent, 2);
}

void append_bool(std::string& out, bool v) { out += v ? "True" : "False"; }

void append_datetime(std::string& out, int64_t us) {
    int64_t day = floor_div(us, US_PER_DAY);
    int32_t y, m, d;
    civil_from_days(day + UNIX_DAY, y, m, d);
    append_padded(out, y, 4);
    out += '-';
    append_padded(out, m, 2);
    out += '-';
    append_padded(out, d, 2);
    out += ' ';
    append_clock(out, us - day * US_PER_DAY, true);
}

void append_time(std::string& out, int64_t us) { append_clock(out, us, true); }

// timedelta's str(): days (floored, so that the rest is positive) only when
// there are any, then the clock: "-1 day, 23:59:59", "2 days, 0:00:00.5".
void append_duration(std::string& out, int64_t us) {
    int64_t days = floor_div(us, US_PER_DAY);
    if (days) {
        append_int(out, days);
        out += days == 1 || days == -1 ? " day, " : " days, ";
    }
    append_clock(out, us - days * US_PER_DAY, false);
}

}  // namespace vlm::table
