#include "pyref.hpp"

#include <cstdarg>
#include <vector>

namespace huesift {

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw python_error();
}

ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<kwarg> kwargs) {
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + kwargs.size() + 1);
    argv.push_back(nullptr);
    argv.insert(argv.end(), args.begin(), args.end());
    ref names = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const kwarg& kw : kwargs) {
        PyTuple_SET_ITEM(names.get(), i++, from_str(kw.name).release());  // steals it
        argv.push_back(kw.value.get());
    }
    return steal(
        PyObject_Vectorcall(callable, argv.data() + 1,
                            static_cast<size_t>(args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                            kwargs.size() ? names.get() : nullptr));
}

ref getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

ref getattr(PyObject* obj, const char* name) { return steal(PyObject_GetAttrString(obj, name)); }

Py_ssize_t length(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) {
        throw python_error();
    }
    return n;
}

ref ref::attr(const char* name) const { return getattr(ptr_, name); }
ref ref::operator[](const ref& key) const { return steal(PyObject_GetItem(ptr_, key.get())); }
ref ref::operator[](long long index) const { return (*this)[from_long(index)]; }

ref operator+(const ref& a, const ref& b) { return steal(PyNumber_Add(a.get(), b.get())); }
ref operator-(const ref& a, const ref& b) { return steal(PyNumber_Subtract(a.get(), b.get())); }
ref operator*(const ref& a, const ref& b) { return steal(PyNumber_Multiply(a.get(), b.get())); }
ref operator/(const ref& a, const ref& b) { return steal(PyNumber_TrueDivide(a.get(), b.get())); }
ref operator~(const ref& a) { return steal(PyNumber_Invert(a.get())); }
ref& operator+=(ref& a, const ref& b) {
    a = steal(PyNumber_InPlaceAdd(a.get(), b.get()));
    return a;
}
ref power(const ref& a, const ref& b) { return steal(PyNumber_Power(a.get(), b.get(), Py_None)); }
ref compare(const ref& a, const ref& b, int op) {
    return steal(PyObject_RichCompare(a.get(), b.get(), op));
}

bool equals(PyObject* obj, const char* text) {
    ref other = from_str(text);
    const int rc = PyObject_RichCompareBool(obj, other.get(), Py_EQ);
    check(rc);
    return rc != 0;
}

std::pair<ref, ref> unpack_pair(PyObject* value) {
    ref iter = steal(PyObject_GetIter(value));
    ref items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iter.get());
        if (item == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            throw python_error();
        }
        items[i] = steal(item);
    }
    PyObject* extra = PyIter_Next(iter.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw python_error();
    }
    return {items[0], items[1]};
}

ref nested(PyObject* item) {
    ref inner = steal(PyList_New(1));
    Py_INCREF(item);
    PyList_SET_ITEM(inner.get(), 0, item);  // steals the new reference
    ref outer = steal(PyList_New(1));
    PyList_SET_ITEM(outer.get(), 0, inner.release());  // steals the reference
    return outer;
}

ref int_tuple(PyObject* items) {
    ref values = steal(PyList_New(0));
    for (const ref& component : borrow(items)) {
        check(PyList_Append(values.get(), steal(PyNumber_Long(component.get())).get()));
    }
    return steal(PyList_AsTuple(values.get()));
}

ref from_long(long long value) { return steal(PyLong_FromLongLong(value)); }

ref from_double(double value) { return steal(PyFloat_FromDouble(value)); }

ref from_str(const char* text) { return steal(PyUnicode_FromString(text)); }

ref make_tuple(std::initializer_list<PyObject*> items) {
    ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i++, item);  // steals the new reference
    }
    return tuple;
}

bool truth(PyObject* obj) {
    int rc = PyObject_IsTrue(obj);
    check(rc);
    return rc != 0;
}

ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return steal(value);
#endif
}

void raise_again(ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());  // steals the reference
#else
    PyObject* found = PyException_GetTraceback(exc.get());  // new reference, or NULL
    ref traceback = found != nullptr ? steal(found) : ref();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Py_INCREF(type);
    PyErr_Restore(type, exc.release(), traceback.release());  // steals all three
#endif
    throw python_error();
}

}  // namespace huesift
