// The ColorExtractor type: the constructor and its documentation, the methods from the method
// table, and the type's slots.
#include "color_extractor.hpp"
#include "device.hpp"
#include "module_state.hpp"
#include "saved_state.hpp"
#include "step_dispatch.hpp"

#include <vector>

namespace huesift {

namespace {

// ---- the constructor --------------------------------------------------------------------

#ifndef HUESIFT_CPU_ONLY
constexpr const char* init_params[] = {"n_colors", "algorithm", "preprocessing", "lab_space",
                                       "use_gpu"};
constexpr signature init_sig{"__init__", init_params, 5, 0};
#else
constexpr const char* init_params[] = {"n_colors", "algorithm", "preprocessing", "lab_space"};
constexpr signature init_sig{"__init__", init_params, 4, 0};
#endif

int extractor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_int([&] {
        PyObject* values[init_sig.count];
        parse_tuple(init_sig, args, kwargs, values);
        const int n_colors = values[0] ? to_c_int(values[0]) : 5;
        const bool preprocessing = values[2] ? truth(values[2]) : true;
        const bool lab_space = values[3] ? truth(values[3]) : true;
        ref algorithm = values[1] ? borrow(values[1]) : from_str("kmeans");
        check_exact_arg(algorithm.get(), &PyUnicode_Type, "algorithm", true);
#ifndef HUESIFT_CPU_ONLY
        ref use_gpu = values[4] ? borrow(values[4]) : from_str("auto");
        check_exact_arg(use_gpu.get(), &PyUnicode_Type, "use_gpu", true);
#endif
        extractor_object* obj = as_extractor(self);
        obj->n_colors = n_colors;
        obj->algorithm = algorithm;
        obj->preprocessing = preprocessing;
        obj->lab_space = lab_space;
#ifndef HUESIFT_CPU_ONLY
        obj->use_gpu_param = use_gpu;
        decide_device(self, state_of(self), use_gpu.get());
#endif
    });
}

// The same constructor published as a method, so that it carries its own documentation.
PyObject* py_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (extractor_init(self, args, kwargs) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- the type ---------------------------------------------------------------------------

constexpr const char init_doc[] =
#ifndef HUESIFT_CPU_ONLY
    "__init__($self, /, n_colors=5, algorithm='kmeans', preprocessing=True, lab_space=True, "
    "use_gpu='auto')\n--\n\n"
#else
    "__init__($self, /, n_colors=5, algorithm='kmeans', preprocessing=True, lab_space=True)"
    "\n--\n\n"
#endif
    "Initialize ColorExtractor with robust color extraction capabilities.\n"
    "\n"
    "Args:\n"
    "    n_colors: Number of dominant colors to extract\n"
    "    algorithm: 'kmeans' or 'dbscan' for clustering\n"
    "    preprocessing: Apply noise reduction and lighting normalization\n"
    "    lab_space: Use LAB color space for perceptual accuracy\n"
#ifndef HUESIFT_CPU_ONLY
    "    use_gpu: GPU usage mode ('auto', 'force', 'never')\n"
#endif
    ;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The constructor, the table's methods, then the object protocol.
std::vector<PyMethodDef>& extractor_methods() {
    static std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> out;
        out.push_back(
            {"__init__", FASTCALL(py_init), METH_VARARGS | METH_KEYWORDS | METH_COEXIST, init_doc});
        const std::vector<PyMethodDef>& table = table_methods();
        out.insert(out.end(), table.begin(), table.end());
        out.push_back({"__reduce__", reinterpret_cast<PyCFunction>(py_reduce), METH_NOARGS,
                       "__reduce__($self, /)\n--\n\n"});
        out.push_back({"__setstate__", FASTCALL(py_setstate), METH_FASTCALL | METH_KEYWORDS,
                       "__setstate__($self, /, state)\n--\n\n"});
        out.push_back({nullptr, nullptr, 0, nullptr});
        return out;
    }();
    return defs;
}

PyType_Slot extractor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(extractor_new)},
    {Py_tp_init, reinterpret_cast<void*>(extractor_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(extractor_dealloc)},
    {Py_tp_methods, nullptr},  // the tables', set before the type is made
    {0, nullptr},
};

#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned int immutable_flag = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int immutable_flag = 0;
#endif

PyType_Spec extractor_spec = {
    "vantrel_huesift.tintmill.ColorExtractor",
    static_cast<int>(sizeof(extractor_object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | immutable_flag,
    extractor_slots,
};

}  // namespace

ref create_extractor_type(PyObject* module) {
    for (PyType_Slot& slot : extractor_slots) {
        if (slot.slot == Py_tp_methods) {
            slot.pfunc = extractor_methods().data();
        }
    }
    return steal(PyType_FromModuleAndSpec(module, &extractor_spec, nullptr));
}

}  // namespace huesift
