// The ColorExtractor type: allocation, release, the constructor, the methods' table and the
// dispatch of the typed steps.
#include "color_extractor.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#define NO_IMPORT_ARRAY
#include "numpy_api.hpp"

namespace huesift {

namespace {

void extractor_dealloc(PyObject* self);

}  // namespace

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
            return *static_cast<module_state*>(PyModule_GetState(module));
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

bool libraries_intact(const module_state& st) {
    return bound_is(st, st.n.np, st.library_np) && bound_is(st, st.n.cv2, st.library_cv2) &&
           attributes_unchanged(st.library_np.get(), st.np_functions) &&
           attributes_unchanged(st.library_cv2.get(), st.cv2_functions);
}

namespace {

// ---- allocation and release -------------------------------------------------------------

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

// ---- the methods' table ------------------------------------------------------------------

struct method_row {
    const char* name;
    ref (*impl)(PyObject* self, module_state& st, PyObject* const* args);
    const char* params;
    const char* doc;
    step slot;
    result_kind result;
};

constexpr method_row method_rows[] = {
#define HUESIFT_METHOD_ROW(name, impl, params, doc, slot, result) \
    {#name, impl, params, doc, step::slot, result_kind::result},
    HUESIFT_METHODS(HUESIFT_METHOD_ROW)
#undef HUESIFT_METHOD_ROW
};
constexpr std::size_t method_count = std::size(method_rows);
constexpr int most_params = 4;

constexpr bool rows_fit() {
    for (const method_row& row : method_rows) {
        int count = 1;
        for (const char* c = row.params; *c != '\0'; ++c) {
            count += *c == ',';
        }
        if (count > most_params) {
            return false;
        }
    }
    return true;
}
static_assert(rows_fit(), "a method takes more parameters than most_params");

// Each row's parameters for the parser: the names of its text signature, and how many come
// before the first default. Built once, before the type exists.
struct parsed_params {
    std::vector<std::string> names;
    std::vector<const char*> pointers;
    signature sig;
};

const std::vector<parsed_params>& row_params() {
    static const std::vector<parsed_params> all = [] {
        std::vector<parsed_params> out(method_count);
        for (std::size_t i = 0; i < method_count; ++i) {
            parsed_params& p = out[i];
            int required = -1;
            std::string text = method_rows[i].params;
            for (std::size_t start = 0; start <= text.size();) {
                std::size_t end = text.find(", ", start);
                end = end == std::string::npos ? text.size() : end;
                std::string param = text.substr(start, end - start);
                const std::size_t equals = param.find('=');
                if (equals != std::string::npos && required < 0) {
                    required = static_cast<int>(p.names.size());
                }
                p.names.push_back(param.substr(0, equals));
                start = end + 2;
            }
            for (const std::string& name : p.names) {
                p.pointers.push_back(name.c_str());
            }
            const int count = static_cast<int>(p.names.size());
            p.sig = {method_rows[i].name, p.pointers.data(), count,
                     required < 0 ? count : required};
        }
        return out;
    }();
    return all;
}

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(I < method_count);
    return guarded([&] {
        PyObject* values[most_params] = {};
        parse_fastcall(row_params()[I].sig, args, nargs, kwnames, values);
        return method_rows[I].impl(self, state_of(self), values);
    });
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

template <std::size_t... I>
std::array<PyCFunction, method_count> entries(std::index_sequence<I...>) {
    return {FASTCALL(method_entry<I>)...};
}

const std::array<PyCFunction, method_count>& method_entries() {
    static const auto all = entries(std::make_index_sequence<method_count>());
    return all;
}

std::size_t row_of(step which) {
    for (std::size_t i = 0; i < method_count; ++i) {
        if (method_rows[i].slot == which) {
            return i;
        }
    }
    return method_count;  // not reached: every step has a row
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

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// The table's rows, then the object protocol.
std::vector<PyMethodDef>& extractor_methods() {
    static std::vector<std::string> docs;
    static std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> out;
        out.push_back({"__init__",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_init)),
                       METH_VARARGS | METH_KEYWORDS | METH_COEXIST, init_doc});
        docs.reserve(method_count);
        for (std::size_t i = 0; i < method_count; ++i) {
            const method_row& row = method_rows[i];
            docs.push_back(std::string(row.name) + "($self, /, " + row.params + ")\n--\n\n" +
                           row.doc);
            out.push_back({row.name, method_entries()[i], fastcall, docs.back().c_str()});
        }
        out.push_back({"__reduce__", reinterpret_cast<PyCFunction>(py_reduce), METH_NOARGS,
                       "__reduce__($self, /)\n--\n\n"});
        out.push_back({"__setstate__", FASTCALL(py_setstate), fastcall,
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
    {Py_tp_methods, nullptr},  // the table's, set before the type is made
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

ref find_override(PyObject* self, step which) {
#if PY_VERSION_HEX >= 0x030A0000
    // The class itself is immutable, so only a subclass can replace a step.
    module_state& st = state_of(self);
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == st.type.get()) {
        return {};
    }
#endif
    const std::size_t row = row_of(which);
    ref method = getattr(self, method_rows[row].name);
    PyObject* m = method.get();
    if (PyCFunction_Check(m) && PyCFunction_GET_SELF(m) == self &&
        PyCFunction_GET_FUNCTION(m) == method_entries()[row]) {
        return {};
    }
    return method;
}

ref call_step(step which, PyObject* self, module_state& st, std::initializer_list<PyObject*> args) {
    const std::size_t row = row_of(which);
    PyObject* values[most_params] = {};
    int i = 0;
    for (PyObject* arg : args) {
        if (i < row_params()[row].sig.required) {
            check_array_result(arg);
        }
        values[i++] = arg;
    }
    if (ref override_ = find_override(self, which)) {
        ref result = steal(PyObject_Vectorcall(override_.get(), values, args.size(), nullptr));
        switch (method_rows[row].result) {
            case result_kind::array: check_array_result(result.get()); break;
            case result_kind::list: check_exact_result(result.get(), &PyList_Type); break;
            case result_kind::number:
            case result_kind::none:
                break;  // the caller converts a number, as it would the implementation's
        }
        return result;
    }
    return method_rows[row].impl(self, st, values);
}

PyObject* create_extractor_type(PyObject* module) {
    for (PyType_Slot& slot : extractor_slots) {
        if (slot.slot == Py_tp_methods) {
            slot.pfunc = extractor_methods().data();
        }
    }
    return PyType_FromModuleAndSpec(module, &extractor_spec, nullptr);
}

}  // namespace huesift
