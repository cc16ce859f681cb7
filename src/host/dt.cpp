// The interned data-type strings and the datetime capsule.
#include "host/dt.h"

// datetime.h defines a per-file API pointer that this file does not use: the
// capsule is kept in each DT instead, so no global is written.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

namespace vlm {

Result<DT> DT::make() {
    DT dt;
    for (size_t i = 0; i < COUNT; ++i) {
        dt.strings_[i] = Ref::steal(PyUnicode_InternFromString(TEXTS[i]));
        if (!dt.strings_[i])
            return std::unexpected(XmlError::fetch());
    }
    // The capsule lives as long as the datetime module, which never unloads.
    dt.api_ = PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
    if (!dt.api_)
        return std::unexpected(XmlError::fetch());
    return dt;
}

DT DT::clone() const {
    DT dt;
    dt.strings_ = strings_.clone();
    dt.api_ = api_;
    return dt;
}

Result<Ref> DT::date_to_py(const DateResult& r) const {
    const auto* api = static_cast<const PyDateTime_CAPI*>(api_);
    PyObject* obj = nullptr;
    switch (r.kind) {
    case DateKind::DateTime:
        obj = api->DateTime_FromDateAndTime(r.year, r.month, r.day, r.hour, r.minute, r.second,
                                             r.microsecond, Py_None, api->DateTimeType);
        break;
    case DateKind::Time:
        obj = api->Time_FromTime(r.hour, r.minute, r.second, r.microsecond, Py_None,
                                  api->TimeType);
        break;
    case DateKind::Declined:
        return std::unexpected(XmlError::internal("declined date reached conversion"));
    }
    if (!obj)
        return std::unexpected(XmlError::fetch());
    return Ref::steal(obj);
}

}  // namespace vlm
