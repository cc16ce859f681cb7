// The internal units that the test-only extension _vellum_testing exposes.
// Each file in tests/native adds its own entries; the module calls them in
// order. Nothing here is part of the installed engine.
#pragma once

#include <Python.h>

namespace vlm::testing {

int add_host_source(PyObject* m);
int add_dates(PyObject* m);
int add_utils(PyObject* m);
int add_host_records(PyObject* m);
int add_formula(PyObject* m);
int add_ftemplate(PyObject* m);
int add_xml_reader(PyObject* m);
int add_sheet_values(PyObject* m);
int add_store(PyObject* m);
int add_table(PyObject* m);
int add_profile(PyObject* m);

inline constexpr int (*const TEST_ENTRIES[])(PyObject*) = {
    add_host_source,
    add_dates,
    add_utils,
    add_host_records,
    add_formula,
    add_ftemplate,
    add_xml_reader,
    add_sheet_values,
    add_store,
    add_table,
    add_profile,
};

}  // namespace vlm::testing
