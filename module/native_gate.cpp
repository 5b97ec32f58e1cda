#include "native_gate.hpp"

#define NO_IMPORT_ARRAY
#include "numpy_api.hpp"

namespace huesift {

namespace {

bool bound_is(const module_state& st, const ref& name, const ref& original) {
    PyObject* value = PyDict_GetItemWithError(st.dict, name.get());
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    return value == original.get();
}

}  // namespace

bool attributes_unchanged(PyObject* owner, const std::vector<std::pair<ref, ref>>& attributes) {
    for (const auto& [name, original] : attributes) {
        PyObject* found = PyObject_GetAttr(owner, name.get());
        if (found == nullptr) {
            PyErr_Clear();
            return false;
        }
        if (!steal(found).is(original.get())) {
            return false;
        }
    }
    return true;
}

bool libraries_intact(const module_state& st) {
    return bound_is(st, st.n.np, st.library_np) && bound_is(st, st.n.cv2, st.library_cv2) &&
           attributes_unchanged(st.library_np.get(), st.np_functions) &&
           attributes_unchanged(st.library_cv2.get(), st.cv2_functions);
}

bool is_plain_uint8(PyObject* obj) {
    return PyArray_CheckExact(obj) &&
           PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_UBYTE;
}

bool is_plain_byte_rows(PyObject* rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(rows);
    return is_plain_uint8(rows) && PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 1) == 3;
}

}  // namespace huesift
