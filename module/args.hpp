// Argument parsing with the messages the class's callers see for every method.
#pragma once

#include "pyref.hpp"

#include <span>

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

// What a parameter takes; its argument is checked, or converted, by its kind.
enum class kind {
    object,       // anything
    array,        // an ndarray, a subclass of one, or None
    dict,         // exactly a dict
    list,         // exactly a list
    tuple,        // exactly a tuple
    str_or_none,  // exactly a str, or None
    integer,      // a number, made whole as int() makes it, as a C int
    number,       // a real number, as a C double
    truth,        // anything, by its truth value
};

// A parameter: its name, its kind, and its default as a signature shows it (`None`, `True`,
// `5`, `50.0`, `'kmeans'`), or null when it has none.
struct parameter {
    const char* name;
    kind type;
    const char* default_text;
};

// An argument once taken: its object (a default's, when none was given) and, for a number or
// a truth value, its C value.
struct argument {
    ref object;
    int integer = 0;
    double number = 0.0;
    bool truth = false;
};

// `given` (null when the caller left it out) checked or converted by the parameter's kind, with
// the messages a caller sees: "Argument 'x' has incorrect type (...)", int()'s and float()'s.
argument take_argument(const parameter& param, PyObject* given);
// Each parameter's argument, in the parameters' order.
void take_arguments(std::span<const parameter> params, PyObject* const* given, argument* out);

// Result checks of the typed steps: "Cannot convert X to numpy.ndarray", "Expected list, got X".
void check_array_result(PyObject* value);
void check_exact_result(PyObject* value, PyTypeObject* type);

}  // namespace huesift
