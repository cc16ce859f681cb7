// The error model: every fallible operation inside the engine returns
// Result<T> = std::expected<T, XmlError>. Python exceptions exist only at the
// entry points, where fallback_err() turns an XmlError into one.
//
//   Malformed(m)    input not well-formed          -> NativeFallback("malformed: " m)
//   Unsupported(m)  legal input the engine declines -> NativeFallback("unsupported: " m)
//   Source(e)       a Python exception from the host (or raised by the engine
//                   on purpose); passed through unchanged, traceback kept
//
// Messages are static strings, so building an error never allocates.
#pragma once

#include "host/pyref.h"
#include "utils/result.h"

#include <expected>
#include <utility>

namespace vlm {

class [[nodiscard]] XmlError {
public:
    enum class Kind : unsigned char { Malformed, Unsupported, Source };

    static XmlError malformed(const char* m) noexcept { return {Kind::Malformed, m, Ref()}; }
    static XmlError unsupported(const char* m) noexcept { return {Kind::Unsupported, m, Ref()}; }
    static XmlError source(Ref exc) noexcept { return {Kind::Source, nullptr, std::move(exc)}; }
    // Takes the exception currently raised in the interpreter.
    static XmlError fetch() noexcept { return source(Ref::steal(PyErr_GetRaisedException())); }
    // A broken invariant of the engine itself (never reached by ordinary input).
    static XmlError internal(const char* m) noexcept;
    // NativeFallback with a short fixed text of its own ("style index"): the
    // engine declines a case the package handles, for a reason that is no
    // fault of the XML.
    static XmlError decline(const char* m) noexcept;

    Kind kind() const noexcept { return kind_; }
    const char* message() const noexcept { return msg_; }
    PyObject* exception() const noexcept { return exc_.get(); }
    // For diagnostics: Malformed("bad qname").
    bool is(Kind k, const char* m) const noexcept;

private:
    XmlError(Kind k, const char* m, Ref e) noexcept : kind_(k), msg_(m), exc_(std::move(e)) {}
    Kind kind_;
    const char* msg_;
    Ref exc_;
};

template <class T>
using Result = std::expected<T, XmlError>;

// What a parse running without the interpreter (Settings::detached) stops
// with where it would need a Python object: its caller runs it again with
// the interpreter, or declines. Compared by address (XmlError::is).
inline constexpr const char NEEDS_INTERPRETER[] = "needs the interpreter";

inline std::unexpected<XmlError> malformed(const char* m) noexcept {
    return std::unexpected(XmlError::malformed(m));
}
inline std::unexpected<XmlError> unsupported(const char* m) noexcept {
    return std::unexpected(XmlError::unsupported(m));
}
inline std::unexpected<XmlError> decline(const char* m) noexcept { return std::unexpected(XmlError::decline(m)); }
// The Python exception just raised, as the error of a Result.
inline std::unexpected<XmlError> fetched() noexcept { return std::unexpected(XmlError::fetch()); }

// Raises the Python exception for `e` (see the table above) and returns
// nullptr, so that entry points can `return fallback_err(...)`.
PyObject* fallback_err(XmlError&& e) noexcept;

// A job's object handed to the interpreter, or its error raised as
// fallback_err raises it (null).
inline PyObject* hand_over(Result<Ref>&& r) { return r ? r->release() : fallback_err(std::move(r).error()); }

// The process-wide NativeFallback type (borrowed; created on first use).
PyObject* native_fallback_type() noexcept;

}  // namespace vlm
