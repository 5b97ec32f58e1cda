#include "args.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
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

// Array parameters accept an ndarray, a subclass of it, or None.
void check_array_arg(PyObject* value, const char* name) {
    if (value != Py_None && !PyArray_Check(value)) {
        raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              name, PyArray_Type.tp_name, Py_TYPE(value)->tp_name);
    }
}

// Exact builtin types (dict, list, tuple, str), with None allowed or not.
void check_exact_arg(PyObject* value, PyTypeObject* type, const char* name, bool none_ok) {
    if (Py_TYPE(value) == type || (none_ok && value == Py_None)) {
        return;
    }
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, type->tp_name, Py_TYPE(value)->tp_name);
}

template <PyTypeObject* Type, bool NoneOk>
void take_exact(PyObject* given, const char* name, argument&) {
    check_exact_arg(given, Type, name, NoneOk);
}

void take_integer(PyObject* given, const char*, argument& out) { out.integer = to_c_int(given); }
void take_number(PyObject* given, const char*, argument& out) { out.number = to_c_double(given); }
void take_truth(PyObject* given, const char*, argument& out) { out.truth = truth(given); }

void entry_integer(PyObject* entry, argument& out) { out.integer = to_c_int(entry); }
void entry_number(PyObject* entry, argument& out) { out.number = to_c_double(entry); }
void entry_truth(PyObject* entry, argument& out) { out.truth = truth(entry); }
void entry_text(PyObject* entry, argument& out) {
    check_exact_result(entry, &PyUnicode_Type);
    out.object = borrow(entry);
}

// A field of kind K in raw memory.
template <kind K>
field_type<K>& field_at(void* at) {
    return *static_cast<field_type<K>*>(at);
}
template <kind K>
const field_type<K>& field_at(const void* at) {
    return *static_cast<const field_type<K>*>(at);
}

template <kind K>
void init_field(void* at) {
    if constexpr (K == kind::str_or_none) {
        new (at) ref(none());
    } else {
        new (at) field_type<K>();  // 0, 0.0 or false
    }
}

template <kind K>
void store_field(void* at, const argument& value) {
    if constexpr (K == kind::str_or_none) {
        field_at<K>(at) = value.object;
    } else {
        field_at<K>(at) = value_of<field_type<K>>(value);
    }
}

template <kind K>
ref load_field(const void* at) {
    const auto& value = field_at<K>(at);
    if constexpr (K == kind::integer) {
        return from_long(value);
    } else if constexpr (K == kind::number) {
        return from_double(value);
    } else if constexpr (K == kind::truth) {
        return borrow(value ? Py_True : Py_False);
    } else {
        return value;
    }
}

template <kind K>
void release_field(void* at) {
    using held = field_type<K>;
    field_at<K>(at).~held();
}

template <kind K>
constexpr kind_traits field_kind(void (*take)(PyObject*, const char*, argument&),
                                 void (*take_entry)(PyObject*, argument&)) {
    return {take, take_entry, init_field<K>, store_field<K>, load_field<K>, release_field<K>};
}

constexpr kind_traits object_kind(void (*take)(PyObject*, const char*, argument&)) {
    return {take, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// In the order of `kind`.
const kind_traits kind_table[] = {
    object_kind([](PyObject*, const char*, argument&) {}),
    object_kind([](PyObject* given, const char* name, argument&) { check_array_arg(given, name); }),
    object_kind(take_exact<&PyDict_Type, false>),
    object_kind(take_exact<&PyList_Type, false>),
    object_kind(take_exact<&PyTuple_Type, false>),
    field_kind<kind::str_or_none>(take_exact<&PyUnicode_Type, true>, entry_text),
    field_kind<kind::integer>(take_integer, entry_integer),
    field_kind<kind::number>(take_number, entry_number),
    field_kind<kind::truth>(take_truth, entry_truth),
};
static_assert(std::size(kind_table) == static_cast<std::size_t>(kind::truth) + 1);

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

const kind_traits& traits_of(kind k) { return kind_table[static_cast<std::size_t>(k)]; }

argument take_argument(const parameter& param, PyObject* given) {
    if (given == nullptr) {
        return default_argument(param);
    }
    argument out;
    out.object = borrow(given);
    traits_of(param.type).take(given, param.name, out);
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
