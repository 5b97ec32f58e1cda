// Saved state: the object protocol's __reduce__ and __setstate__, and the restore function.
#pragma once

#include "module_state.hpp"

namespace huesift {

PyObject* py_reduce(PyObject* self, PyObject*);
PyObject* py_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_unpickle(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace huesift
