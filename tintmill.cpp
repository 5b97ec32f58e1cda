// The extension module tintmill: its loading steps and its definition, above every folder it
// brings together.
#include "module/color_extractor.hpp"
#include "module/module_state.hpp"

#include "module/numpy_api.hpp"
#include "matching/band_scan.hpp"
#include "preparation/pixel_select.hpp"

#include <cstring>
#include <iterator>

namespace huesift {

namespace {

void bind(const module_state& st, const ref& name, const ref& value) {
    check(PyDict_SetItem(st.dict, name.get(), value.get()));
}

// `from package import name`, with Python's error for a missing name.
ref import_from(const char* package, const char* name) {
    ref fromlist = make_tuple({from_str(name).get()});
    ref module = steal(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttrString(module.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw python_error();
        }
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
    }
    return steal(value);
}

ref import_module(const char* name) { return steal(PyImport_ImportModule(name)); }

// A row of a libraries table: the module, or a name from it.
ref import_row(const char* module, const char* attribute) {
    return attribute == nullptr ? import_module(module) : import_from(module, attribute);
}

// The scikit-learn releases whose k-means and scaler fit the native paths follow, checked
// against their sources and tested; any other runs KMeans and StandardScaler themselves.
// (1.10 draws k-means++'s candidates with new kernels of its own, not yet followed.)
constexpr const char* sklearn_releases[] = {"1.6", "1.7", "1.8", "1.9"};

bool sklearn_steps_followed(const ref& version) {
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    for (const char* release : sklearn_releases) {
        const std::size_t n = std::strlen(release);
        if (std::strncmp(text, release, n) == 0 && text[n] == '.') {
            return true;
        }
    }
    return false;
}

// scikit-learn's count of the OpenMP threads its loops use, which follows OMP_NUM_THREADS and
// threadpoolctl; None in a release without it.
ref openmp_thread_count() {
    try {
        return import_from("sklearn.utils._openmp_helpers", "_openmp_effective_n_threads");
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw;
        }
        PyErr_Clear();
        return none();
    }
}

#ifndef HUESIFT_CPU_ONLY
// Only an ImportError means "no GPU"; anything else fails the import of the module.
bool probe_gpu(const module_state& st) {
    try {
#define HUESIFT_BIND_LIBRARY(field, module, attribute, profile) \
    bind(st, st.n.field, import_row(module, attribute));
        HUESIFT_GPU_LIBRARIES(HUESIFT_BIND_LIBRARY)
#undef HUESIFT_BIND_LIBRARY
        return true;
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw;
        }
        PyErr_Clear();
        return false;
    }
}
#endif

ref module_function(PyObject* module, PyMethodDef& def) {
    ref name = steal(PyModule_GetNameObject(module));
    return steal(PyCFunction_NewEx(&def, module, name.get()));
}

void load(PyObject* module) {
    module_state& st = module_state_of(module);
    new (&st) module_state();
    st.dict = PyModule_GetDict(module);
    st.n.intern();
    st.builtin_round = getattr(import_module("builtins").get(), "round");
    st.percentage_key =
        call(getattr(import_module("operator").get(), "itemgetter"), from_str("percentage"));

    st.type = create_extractor_type(module);
    check(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(st.type.get())));
#define HUESIFT_BIND_LIBRARY(field, module, attribute, profile) \
    HUESIFT_IN_PROFILE_##profile(bind(st, st.n.field, import_row(module, attribute));)
    HUESIFT_LIBRARIES(HUESIFT_BIND_LIBRARY)
#undef HUESIFT_BIND_LIBRARY
    if (_import_array() < 0) {
#ifndef HUESIFT_CPU_ONLY
        raise(PyExc_ImportError, "numpy._core.multiarray failed to import");
#else
        raise(PyExc_ImportError, "numpy.core.multiarray failed to import");
#endif
    }
#ifndef HUESIFT_CPU_ONLY
    const bool gpu = probe_gpu(st);
    bind(st, st.n.GPU_AVAILABLE, borrow(gpu ? Py_True : Py_False));
    if (!gpu) {
#define HUESIFT_BIND_NONE(field, module, attribute, profile) bind(st, st.n.field, none());
        HUESIFT_GPU_LIBRARIES(HUESIFT_BIND_NONE)
#undef HUESIFT_BIND_NONE
    }
    bind(st, st.n.get_compute_device, module_function(module, compute_device_method(gpu)));
#endif
    st.sklearn_dbscan = global(st, st.n.DBSCAN);
    st.sklearn_scaler = global(st, st.n.StandardScaler);
    st.sklearn_kmeans = global(st, st.n.KMeans);
    auto watch = [](const ref& cls, std::initializer_list<const char*> names,
                    std::vector<std::pair<ref, ref>>& methods) {
        for (const char* name : names) {
            ref interned = steal(PyUnicode_InternFromString(name));
            methods.emplace_back(interned, getattr(cls.get(), interned.get()));
        }
    };
    watch(st.sklearn_kmeans, {"fit", "fit_predict"}, st.sklearn_kmeans_methods);
    watch(st.sklearn_scaler, {"fit", "partial_fit"}, st.sklearn_scaler_methods);
    watch(st.sklearn_dbscan, {"fit", "fit_predict"}, st.sklearn_dbscan_methods);
    st.sklearn_steps_known =
        sklearn_steps_followed(getattr(import_module("sklearn").get(), "__version__"));
    st.openmp_threads = openmp_thread_count();
    st.library_np = global(st, st.n.np);
    st.library_cv2 = global(st, st.n.cv2);
    for (const char* name : {"all", "unique", "sum", "mean", "argsort", "argmin", "array", "uint8",
                             "sqrt", "arange", "cumsum", "searchsorted", "random"}) {
        ref interned = steal(PyUnicode_InternFromString(name));
        st.np_functions.emplace_back(interned, getattr(st.library_np.get(), interned.get()));
    }
    ref cvt = steal(PyUnicode_InternFromString("cvtColor"));
    st.cv2_functions.emplace_back(cvt, getattr(st.library_cv2.get(), cvt.get()));
    compute_checksums(st);
    bind(st, st.n.unpickle, module_function(module, unpickle_method()));
    // The mask rule, the distance bands and the saved state's fields in their order, for the
    // package's code that must agree with them.
    bind(st, st.n.MASK_THRESHOLD, from_long(preparation::mask_threshold));
    const auto& bands = matching::band_limits;
    bind(st, st.n.DISTANCE_BANDS,
         make_tuple(
             {from_long(bands[0]).get(), from_long(bands[1]).get(), from_long(bands[2]).get()}));
    bind(st, st.n.STATE_FIELDS, saved_field_names());
    ref releases = steal(PyTuple_New(std::size(sklearn_releases)));
    for (std::size_t i = 0; i < std::size(sklearn_releases); ++i) {
        PyTuple_SET_ITEM(releases.get(), static_cast<Py_ssize_t>(i),  // steals the reference
                         from_str(sklearn_releases[i]).release());
    }
    bind(st, st.n.SKLEARN_RELEASES, releases);
}

int module_exec(PyObject* module) {
    return guarded_int([&] { load(module); });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* st = static_cast<module_state*>(PyModule_GetState(module));
    int rc = 0;
    if (st != nullptr && st->dict != nullptr) {
        st->for_each_ref([&](ref& r) {
            if (rc == 0 && r) {
                rc = visit(r.get(), arg);
            }
        });
    }
    return rc;
}

int module_clear(PyObject* module) {
    module_state* st = static_cast<module_state*>(PyModule_GetState(module));
    if (st != nullptr && st->dict != nullptr) {
        st->for_each_ref([](ref& r) { r = ref(); });
    }
    return 0;
}

void module_free(void* module) {
    module_state* st =
        static_cast<module_state*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (st != nullptr && st->dict != nullptr) {
        st->~module_state();
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tintmill",
    "Dominant colours of photos and how strongly target colours are present.",
    static_cast<Py_ssize_t>(sizeof(module_state)),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace huesift

PyMODINIT_FUNC PyInit_tintmill(void) { return PyModuleDef_Init(&huesift::module_def); }
