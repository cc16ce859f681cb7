// The text of a value where a column of text holds it: what Python's str()
// gives the value the package would have read, byte for byte, made without
// the interpreter. A column that mixes kinds of values is a column of
// text, and header cells name columns by their text.
//
//   int 42 -> "42"        float 0.1 -> "0.1", 1e16 -> "1e+16", 3.0 -> "3.0"
//   True -> "True"        datetime -> "2024-01-31 12:00:00" (".250000" when it has microseconds)
//   time -> "12:00:00"    timedelta -> "1 day, 2:00:00", "-1 day, 23:59:59.500000"
#pragma once

#include <cstdint>
#include <string>

namespace vlm::table {

void append_int(std::string& out, int64_t v);
// repr(float): the shortest text that reads back as the same double, in
// fixed notation for exponents -4 to 15 and scientific otherwise.
void append_float(std::string& out, double v);
void append_bool(std::string& out, bool v);
// Microseconds since 1970-01-01 00:00 (a naive datetime).
void append_datetime(std::string& out, int64_t us);
// Microseconds since midnight.
void append_time(std::string& out, int64_t us);
// Microseconds, as a timedelta.
void append_duration(std::string& out, int64_t us);

}  // namespace vlm::table
