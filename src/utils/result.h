// Errors as values: every fallible operation returns a std::expected, and
// VLM_TRY propagates its error. Free of Python, so the plain C++ layers (the
// formula translator, the number parsers) share it with the host-facing ones.
#pragma once

#include <expected>
#include <utility>

// Propagates the error of a std::expected expression; otherwise yields its
// value (or nothing, for expected<void>). Dereferenced, not value(): value()
// needs a copyable error type (for its exception), and the engine's errors
// are move-only.
#define VLM_TRY(expr)                                             \
    ({                                                            \
        auto&& vlm_try_r_ = (expr);                               \
        if (!vlm_try_r_) [[unlikely]]                             \
            return std::unexpected(std::move(vlm_try_r_).error()); \
        *std::move(vlm_try_r_);                                   \
    })
