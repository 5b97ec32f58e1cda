// Saved state: the object protocol's __reduce__ and __setstate__, and the restore function.
#pragma once

#include "module_state.hpp"

namespace huesift {

PyObject* py_reduce(PyObject* self, PyObject*);
PyObject* py_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_unpickle(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The checksums of the saved state's field names, as the format defines them: the first seven
// hex digits of their SHA-256, SHA-1 and MD5, the first of which is written.
void compute_checksums(module_state& st);

}  // namespace huesift
