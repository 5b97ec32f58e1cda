// Finding the module state, and reading module-level names at the moment of use.
#include "module_state.hpp"

#include "color_extractor.hpp"

namespace huesift {

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

}  // namespace huesift
