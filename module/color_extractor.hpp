// The ColorExtractor object: its fields, and its allocation and release.
#pragma once

#include "pyref.hpp"

namespace huesift {

struct extractor_object {
    PyObject_HEAD int n_colors;
    ref algorithm;  // str or None
    bool preprocessing;
    bool lab_space;
#ifndef HUESIFT_CPU_ONLY
    ref use_gpu_param;  // str or None
    bool use_gpu_compute;
    ref device;  // str or None
#endif
};

inline extractor_object* as_extractor(PyObject* self) {
    return reinterpret_cast<extractor_object*>(self);
}

PyObject* extractor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void extractor_dealloc(PyObject* self);

}  // namespace huesift
