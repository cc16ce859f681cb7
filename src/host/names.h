// Every interned name and imported type the engine uses, made once per
// process when a module executes, so that hot paths compare and pass names by
// pointer and never look a type up again. The table is filled before any
// entry point can run and then only read.
#pragma once

#include <Python.h>

namespace vlm {

struct Names {
    // Kinds of `actions` entries.
    PyObject* element;
    PyObject* warn;
    // Argument names of the entry points.
    PyObject* source;
    PyObject* parser;
    PyObject* helpers;
    PyObject* ws;
    PyObject* min_col;
    PyObject* max_col;
    PyObject* values_only;
    PyObject* cell_cls;
    PyObject* filler;
    PyObject* extra_none;
    PyObject* row;
    // Attributes.
    PyObject* value;
    PyObject* want_rows;
    PyObject* corners;  // also a key of the pre-scan's dict
    // Keys of the pre-scan's dict.
    PyObject* head;
    PyObject* tail;
    PyObject* rows;
    // The loader's arguments and the parser attribute it reads.
    PyObject* store;
    PyObject* cell_styles;
    PyObject* actions;
    PyObject* row_dimensions;
    PyObject* append;
    // The sheet writer: its arguments, the cell attributes it reads for
    // every cell, and the worksheet and workbook attributes it reads once.
    PyObject* write;
    PyObject* lxml;
    PyObject* rows_fallback;
    PyObject* cells;
    PyObject* row_idx;
    PyObject* values;
    PyObject* make_cell;
    PyObject* styles;
    PyObject* _value;
    PyObject* _style;
    PyObject* _comment;
    PyObject* data_type;
    PyObject* hyperlink;
    PyObject* column;
    PyObject* parent;
    PyObject* _cell_styles;
    PyObject* _hyperlinks;
    PyObject* _cells;
    PyObject* epoch;
    PyObject* iso_dates;
    PyObject* add;
    PyObject* keys;
    PyObject* get;
    PyObject* update;
    PyObject* r;
    // The columnar job's arguments.
    PyObject* sheet;
    PyObject* strings;
    PyObject* date_formats;
    PyObject* timedelta_formats;
    PyObject* header_row;
    PyObject* skip_rows;
    PyObject* n_rows;
    PyObject* columns;
    PyObject* names;
    PyObject* dtypes;
    PyObject* error_text;
    PyObject* types;
    PyObject* lists;
    PyObject* requested_schema;
    // The method a byte source reads a file-like object with.
    PyObject* read;
    // The type code of the style arrays the store makes.
    PyObject* type_code_i;  // "i"
    // Imported types and functions.
    PyObject* sequence_abc;            // collections.abc.Sequence
    PyObject* member_descriptor_type;  // types.MemberDescriptorType
    PyObject* array_type;              // array.array
    PyObject* builtin_int;             // builtins.int
    PyObject* builtin_any;             // builtins.any
};

// The table; its members are null until init_names has succeeded.
extern Names NAMES;

// Fills the table (once per process; later calls do nothing): 0, or -1
// with an exception set.
int init_names();

}  // namespace vlm
