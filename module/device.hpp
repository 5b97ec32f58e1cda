// The device decision of the constructor, and get_compute_device in its two forms; both read
// GPU_AVAILABLE from the module at each call.
#pragma once

#include "module_state.hpp"

#ifndef HUESIFT_CPU_ONLY

namespace huesift {

// The constructor's device decision from its use_gpu argument.
void decide_device(PyObject* self, module_state& st, PyObject* use_gpu);
PyObject* py_get_compute_device_gpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* py_get_compute_device_cpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

}  // namespace huesift

#endif
