// The ColorExtractor object's allocation and release.
#include "color_extractor.hpp"

#include <new>

namespace huesift {

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    extractor_object* obj = as_extractor(self);
    obj->n_colors = 0;
    new (&obj->algorithm) ref(none());
    obj->preprocessing = false;
    obj->lab_space = false;
#ifndef HUESIFT_CPU_ONLY
    new (&obj->use_gpu_param) ref(none());
    obj->use_gpu_compute = false;
    new (&obj->device) ref(none());
#endif
    return self;
}

void extractor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    extractor_object* obj = as_extractor(self);
    obj->algorithm.~ref();
#ifndef HUESIFT_CPU_ONLY
    obj->use_gpu_param.~ref();
    obj->device.~ref();
#endif
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace huesift
