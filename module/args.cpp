#include "args.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#define NO_IMPORT_ARRAY
#include "numpy_api.hpp"

namespace huesift {

namespace {

[[noreturn]] void raise_count(const signature& sig, Py_ssize_t given) {
    const bool exact = sig.required == sig.count;
    const char* more_or_less = "exactly";
    Py_ssize_t expected = sig.count;
    if (!exact) {
        if (given < sig.required) {
            more_or_less = "at least";
            expected = sig.required;
        } else {
            more_or_less = "at most";
        }
    }
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
          more_or_less, expected, expected == 1 ? "" : "s", given);
}

void assign_keyword(const signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                    PyObject** values) {
    if (!PyUnicode_Check(key)) {
        raise(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    }
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            if (i < nargs || values[i] != nullptr) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      sig.name, key);
            }
            values[i] = value;
            return;
        }
    }
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
}

void check_required(const signature& sig, Py_ssize_t nargs, PyObject** values) {
    for (int i = 0; i < sig.required; ++i) {
        if (values[i] == nullptr) {
            raise_count(sig, i > nargs ? i : nargs);
        }
    }
}

}  // namespace

void parse_fastcall(const signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values) {
    if (nargs > sig.count) {
        raise_count(sig, nargs);
    }
    for (int i = 0; i < sig.count; ++i) {
        values[i] = i < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            assign_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, values);
        }
    }
    check_required(sig, nargs, values);
}

void parse_tuple(const signature& sig, PyObject* args, PyObject* kwargs, PyObject** values) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) {
        raise_count(sig, nargs);
    }
    for (int i = 0; i < sig.count; ++i) {
        values[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            assign_keyword(sig, key, value, nargs, values);
        }
    }
    check_required(sig, nargs, values);
}

void check_array_arg(PyObject* value, const char* name) {
    if (value != Py_None && !PyArray_Check(value)) {
        raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              name, PyArray_Type.tp_name, Py_TYPE(value)->tp_name);
    }
}

void check_exact_arg(PyObject* value, PyTypeObject* type, const char* name, bool none_ok) {
    if (Py_TYPE(value) == type || (none_ok && value == Py_None)) {
        return;
    }
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, type->tp_name, Py_TYPE(value)->tp_name);
}

namespace {

// Integer conversion as int() does it for numbers, without accepting text.
ref as_integer(PyObject* value) {
    if (PyLong_Check(value)) {
        return borrow(value);
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number != nullptr && number->nb_int == nullptr && number->nb_index != nullptr) {
        return steal(PyNumber_Index(value));  // int() falls back to __index__
    }
    if (number == nullptr || number->nb_int == nullptr) {
        raise(PyExc_TypeError, "an integer is required");
    }
    ref result = steal(number->nb_int(value));
    if (!PyLong_Check(result.get())) {
        raise(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
              Py_TYPE(result.get())->tp_name);
    }
    return result;
}

}  // namespace

int to_c_int(PyObject* value) {
    ref integer = as_integer(value);
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) {
        throw python_error();
    }
    if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) {
        raise(PyExc_OverflowError, "value too large to convert to int");
    }
    return static_cast<int>(wide);
}

long long to_c_longlong(PyObject* value) {
    ref integer = as_integer(value);
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) {
        throw python_error();
    }
    if (overflow != 0) {
        raise(PyExc_OverflowError, "value too large to convert to long");
    }
    return wide;
}

double to_c_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) {
        throw python_error();
    }
    return result;
}

namespace {

bool is_default(const parameter& param, const char* text) {
    return std::strcmp(param.default_text, text) == 0;
}

// A default as its signature writes it: None, True, False, a quoted str or a number.
argument default_argument(const parameter& param) {
    argument out;
    const char* text = param.default_text;
    if (is_default(param, "None")) {
        out.object = none();
    } else if (is_default(param, "True") || is_default(param, "False")) {
        out.truth = is_default(param, "True");
    } else if (text[0] == '\'') {
        const std::string inner(text + 1, std::strlen(text) - 2);
        out.object = from_str(inner.c_str());
    } else if (param.type == kind::number) {
        out.number = std::strtod(text, nullptr);
    } else {
        out.integer = static_cast<int>(std::strtol(text, nullptr, 10));
    }
    return out;
}

}  // namespace

argument take_argument(const parameter& param, PyObject* given) {
    if (given == nullptr) {
        return default_argument(param);
    }
    argument out;
    out.object = borrow(given);
    switch (param.type) {
        case kind::object: break;
        case kind::array: check_array_arg(given, param.name); break;
        case kind::dict: check_exact_arg(given, &PyDict_Type, param.name, false); break;
        case kind::list: check_exact_arg(given, &PyList_Type, param.name, false); break;
        case kind::tuple: check_exact_arg(given, &PyTuple_Type, param.name, false); break;
        case kind::str_or_none: check_exact_arg(given, &PyUnicode_Type, param.name, true); break;
        case kind::integer: out.integer = to_c_int(given); break;
        case kind::number: out.number = to_c_double(given); break;
        case kind::truth: out.truth = truth(given); break;
    }
    return out;
}

void take_arguments(std::span<const parameter> params, PyObject* const* given, argument* out) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        out[i] = take_argument(params[i], given[i]);
    }
}

void check_array_result(PyObject* value) {
    if (value != Py_None && !PyArray_Check(value)) {
        raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
              PyArray_Type.tp_name);
    }
}

void check_exact_result(PyObject* value, PyTypeObject* type) {
    if (value != Py_None && Py_TYPE(value) != type) {
        raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    }
}

}  // namespace huesift
