// The module state: finding it, reading module-level names at the moment of use, the gate of
// the native paths, and the thread policy.
#include "module_state.hpp"

#include "threads.hpp"

#include <utility>
#include <vector>

#define NO_IMPORT_ARRAY
#include "numpy_api.hpp"

namespace huesift {

void names::intern() {
#define HUESIFT_LIBRARY_NAME(field, module, attribute, profile) \
    field = steal(PyUnicode_InternFromString(#field));
#define HUESIFT_OWN_NAME(field, text) field = steal(PyUnicode_InternFromString(text));
    HUESIFT_LIBRARIES(HUESIFT_LIBRARY_NAME)
    HUESIFT_GPU_LIBRARIES(HUESIFT_LIBRARY_NAME)
    HUESIFT_OWN_NAMES(HUESIFT_OWN_NAME)
#undef HUESIFT_OWN_NAME
#undef HUESIFT_LIBRARY_NAME
}

module_state& state_of(PyTypeObject* type) {
    // Subclasses get CPython's own dealloc, so the first type in the MRO with ours is the
    // type this module created.
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* candidate = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (candidate->tp_dealloc == extractor_dealloc) {
            PyObject* module = PyType_GetModule(candidate);
            if (module == nullptr) {
                throw python_error();
            }
            return module_state_of(module);
        }
    }
    raise(PyExc_TypeError, "%.200s is not a ColorExtractor type", type->tp_name);
}

ref global(const module_state& st, const ref& name) {
    if (!name) {
        raise(PyExc_RuntimeError, "the tintmill module has been cleared");
    }
    PyObject* value = PyDict_GetItemWithError(st.dict, name.get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        throw python_error();
    }
    return borrow(value);
}

// ---- the gate ---------------------------------------------------------------------------

namespace {

// True while each named attribute of `owner` is still the object recorded beside its name.
// Never raises.
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

bool bound_is(const module_state& st, const ref& name, const ref& original) {
    PyObject* value = PyDict_GetItemWithError(st.dict, name.get());
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    return value == original.get();
}

// `np` and `cv2` in the module, and the library functions the native paths replace, are still
// the objects the module loaded. Never raises.
bool libraries_intact(const module_state& st) {
    return bound_is(st, st.n.np, st.library_np) && bound_is(st, st.n.cv2, st.library_cv2) &&
           attributes_unchanged(st.library_np.get(), st.np_functions) &&
           attributes_unchanged(st.library_cv2.get(), st.cv2_functions);
}

bool is_plain_byte_rows(PyObject* rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(rows);
    return is_plain_uint8(rows) && PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 1) == 3;
}

}  // namespace

template <class Decide>
bool native_gate::once(answer& memo, Decide&& decide) {
    if (memo == answer::open) {
        memo = decide() ? answer::yes : answer::no;
    }
    return memo == answer::yes;
}

bool native_gate::allows(native_path path) {
    auto libraries = [&] {
        return once(libraries_, [&] { return libraries_intact(st_); });
    };
    switch (path) {
        case native_path::pixels:
        case native_path::shares:
        case native_path::conversions: return libraries();
        case native_path::kmeans:
            // The estimator's name is read as the literal call would read it.
            return once(kmeans_, [&] {
                return st_.sklearn_steps_known &&
                       global(st_, st_.n.KMeans).is(st_.sklearn_kmeans.get()) && libraries() &&
                       attributes_unchanged(st_.sklearn_kmeans.get(), st_.sklearn_kmeans_methods);
            });
        case native_path::dbscan:
            return once(dbscan_, [&] {
                return global(st_, st_.n.DBSCAN).is(st_.sklearn_dbscan.get()) &&
                       global(st_, st_.n.StandardScaler).is(st_.sklearn_scaler.get()) &&
                       libraries() &&
                       attributes_unchanged(st_.sklearn_dbscan.get(), st_.sklearn_dbscan_methods);
            });
        case native_path::scaler_fit:
            return once(scaler_fit_, [&] {
                return st_.sklearn_steps_known &&
                       attributes_unchanged(st_.sklearn_scaler.get(), st_.sklearn_scaler_methods);
            });
        case native_path::matching:
            return once(own_distance_,
                        [&] { return !override_of(self_, st_, *st_.own_distance); }) &&
                   libraries();
    }
    return false;
}

bool native_gate::allows(native_path path, PyObject* rows) {
    return allows(path) && is_plain_byte_rows(rows);
}

ref override_of(PyObject* self, const module_state& st, const PyMethodDef& own) {
#if PY_VERSION_HEX >= 0x030A0000
    // The class itself is immutable, so only a subclass can replace a method.
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == st.type.get()) {
        return {};
    }
#endif
    ref found = getattr(self, own.ml_name);
    PyObject* m = found.get();
    if (PyCFunction_Check(m) && PyCFunction_GET_SELF(m) == self &&
        PyCFunction_GET_FUNCTION(m) == own.ml_meth) {
        return {};
    }
    return found;
}

bool is_plain_uint8(PyObject* obj) {
    return PyArray_CheckExact(obj) &&
           PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_UBYTE;
}

// ---- threads ----------------------------------------------------------------------------

unsigned native_threads(const module_state& st) {
    long asked = 0;
    if (st.openmp_threads && !st.openmp_threads.is_none()) {
        try {
            asked = PyLong_AsLong(call(st.openmp_threads).get());
            if (asked == -1 && PyErr_Occurred()) {
                throw python_error();
            }
        } catch (const python_error&) {
            PyErr_Clear();
            asked = 0;
        }
    }
    return threads::allowed(asked);
}

}  // namespace huesift
