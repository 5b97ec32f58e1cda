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
        Py_INCREF(kw.name);
        PyTuple_SET_ITEM(names.get(), i++, kw.name);  // steals the new reference
        argv.push_back(kw.value);
    }
    return steal(PyObject_Vectorcall(
        callable, argv.data() + 1,
        static_cast<size_t>(args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        kwargs.size() ? names.get() : nullptr));
}

ref getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

ref getattr(PyObject* obj, const char* name) { return steal(PyObject_GetAttrString(obj, name)); }

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

}  // namespace huesift
