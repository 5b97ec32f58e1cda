// Argument parsing with the messages the class's callers see for every method.
#pragma once

#include "pyref.hpp"

namespace huesift {

struct signature {
    const char* name;           // function name used in messages
    const char* const* params;  // parameter names, in positional order
    int count;                  // number of parameters
    int required;               // leading parameters without a default
};

// Fills values[0..count) with borrowed references; an absent optional stays nullptr.
void parse_fastcall(const signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values);
void parse_tuple(const signature& sig, PyObject* args, PyObject* kwargs, PyObject** values);

// Array parameters accept an ndarray, a subclass of it, or None.
void check_array_arg(PyObject* value, const char* name);
// Exact builtin types ("dict", "list", "tuple", "str"), with None allowed or not.
void check_exact_arg(PyObject* value, PyTypeObject* type, const char* name, bool none_ok);

// Conversions of a typed parameter or field.
int to_c_int(PyObject* value);
long long to_c_longlong(PyObject* value);
double to_c_double(PyObject* value);

// Result checks of the typed steps: "Cannot convert X to numpy.ndarray", "Expected list, got X".
void check_array_result(PyObject* value);
void check_exact_result(PyObject* value, PyTypeObject* type);

}  // namespace huesift
