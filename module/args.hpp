// Arguments: parsing them by a signature, and the kinds of the class's parameters and fields,
// each described once in a table of traits, with the messages the class's callers see.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <span>
#include <type_traits>

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

// Conversions of a number, as int() and float() make them.
int to_c_int(PyObject* value);
long long to_c_longlong(PyObject* value);
double to_c_double(PyObject* value);

// What a parameter or a field takes; its argument is checked, or converted, by its kind.
enum class kind : unsigned char {
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

// What an implementation receives for a parameter of kind K (an object is borrowed), and what
// a field of kind K holds (an object is owned).
template <kind K>
using param_type =
    std::conditional_t<K == kind::integer, int,
                       std::conditional_t<K == kind::number, double,
                                          std::conditional_t<K == kind::truth, bool, PyObject*>>>;
template <kind K>
using field_type = std::conditional_t<K == kind::str_or_none, ref, param_type<K>>;

// An argument's value as an implementation's parameter of C type T receives it.
template <class T>
T value_of(const argument& a) {
    if constexpr (std::is_same_v<T, int>) {
        return a.integer;
    } else if constexpr (std::is_same_v<T, double>) {
        return a.number;
    } else if constexpr (std::is_same_v<T, bool>) {
        return a.truth;
    } else {
        return a.object.get();
    }
}

// Everything that differs between the kinds, one row per kind: every place that handles
// parameters, fields or saved entries by kind reads its row (traits_of).
struct kind_traits {
    // The caller's argument for parameter `name`, checked or converted: "Argument 'x' has
    // incorrect type (expected str, got int)", or the messages of int() and float().
    void (*take)(PyObject* given, const char* name, argument& out);
    // A saved state's entry: text must be exactly a str or None ("Expected str, got int").
    void (*take_entry)(PyObject* entry, argument& out);
    // The kinds a field may have (integer, number, truth, str_or_none); null for the others.
    // A fresh object's value, written into raw memory at `at`:
    void (*init)(void* at);
    void (*store)(void* at, const argument& value);
    ref (*load)(const void* at);  // the value as Python sees it
    void (*release)(void* at);
};

const kind_traits& traits_of(kind k);

// `given` (null when the caller left it out) taken by the parameter's kind; a default is read
// from its text.
argument take_argument(const parameter& param, PyObject* given);
// Each parameter's argument, in the parameters' order.
void take_arguments(std::span<const parameter> params, PyObject* const* given, argument* out);

// Result checks of the typed steps: "Cannot convert X to numpy.ndarray", "Expected list, got X".
void check_array_result(PyObject* value);
void check_exact_result(PyObject* value, PyTypeObject* type);

}  // namespace huesift
