// The module's state: what it loaded, its interned names, and the module-level names read from
// its namespace at the moment of use.
#pragma once

#include "pyref.hpp"

#include <string>
#include <utility>
#include <vector>

namespace huesift {

// Module-level names, read from the module's namespace at the moment of use.
#define HUESIFT_GLOBAL_NAMES(X)                 \
    X(np, "np")                                 \
    X(cv2, "cv2")                               \
    X(plt, "plt")                               \
    X(KMeans, "KMeans")                         \
    X(DBSCAN, "DBSCAN")                         \
    X(StandardScaler, "StandardScaler")         \
    X(warnings, "warnings")                     \
    X(cp, "cp")                                 \
    X(KMeansGPU, "KMeansGPU")                   \
    X(DBSCANGPU, "DBSCANGPU")                   \
    X(GPU_AVAILABLE, "GPU_AVAILABLE")           \
    X(get_compute_device, "get_compute_device") \
    X(unpickle, "__pyx_unpickle_ColorExtractor")

struct names {
#define HUESIFT_DECLARE_NAME(field, text) ref field;
    HUESIFT_GLOBAL_NAMES(HUESIFT_DECLARE_NAME)
#undef HUESIFT_DECLARE_NAME
};

struct module_state {
    ref type;        // the ColorExtractor type object
    PyObject* dict;  // the module's namespace (borrowed: the module owns it)
    names n;
    // The methods of the table as the type was made with them, in the table's order: a method
    // found on an object that is none of these is an override.
    const PyMethodDef* own_methods = nullptr;
    // The saved state's checksums, the one written first, and how a refusal names them all:
    // "(0x..., 0x...) = (algorithm, ...)".
    std::vector<long long> checksums;
    std::string checksums_text;
    ref builtin_round;
    ref percentage_key;  // operator.itemgetter('percentage'), the sort key of the records
    ref sklearn_dbscan;  // scikit-learn's own classes, to tell a host's rebinding apart
    ref sklearn_scaler;
    ref sklearn_kmeans;
    // The estimators' methods as loaded, beside their names: a patched one gets the literal
    // steps.
    std::vector<std::pair<ref, ref>> sklearn_kmeans_methods;
    std::vector<std::pair<ref, ref>> sklearn_scaler_methods;
    std::vector<std::pair<ref, ref>> sklearn_dbscan_methods;
    bool sklearn_steps_known = false;  // a scikit-learn whose k-means and scaler fit we follow
    ref openmp_threads;                // scikit-learn's _openmp_effective_n_threads, or None
    // NumPy and OpenCV as loaded, and the functions the native paths stand in for, each
    // beside its interned name: a host that rebinds any of them gets the literal steps.
    ref library_np;
    ref library_cv2;
    std::vector<std::pair<ref, ref>> np_functions;
    std::vector<std::pair<ref, ref>> cv2_functions;

    // Every reference the state owns, for the module's traverse and clear.
    template <class Visit>
    void for_each_ref(Visit&& visit) {
        visit(type);
#define HUESIFT_VISIT_NAME(field, text) visit(n.field);
        HUESIFT_GLOBAL_NAMES(HUESIFT_VISIT_NAME)
#undef HUESIFT_VISIT_NAME
        for (ref* one : {&builtin_round, &percentage_key, &sklearn_dbscan, &sklearn_scaler,
                         &sklearn_kmeans, &openmp_threads, &library_np, &library_cv2}) {
            visit(*one);
        }
        for (auto* pairs : {&sklearn_kmeans_methods, &sklearn_scaler_methods,
                            &sklearn_dbscan_methods, &np_functions, &cv2_functions}) {
            for (auto& [name, value] : *pairs) {
                visit(name);
                visit(value);
            }
        }
    }
};

// The state of the module a module object holds.
inline module_state& module_state_of(PyObject* module) {
    return *static_cast<module_state*>(PyModule_GetState(module));
}

// Locates the module state from any instance or subclass of ColorExtractor.
module_state& state_of(PyTypeObject* type);
inline module_state& state_of(PyObject* self) { return state_of(Py_TYPE(self)); }

// A module-level name read at the moment of use; NameError when a host deleted it.
ref global(const module_state& st, const ref& name);

// An attribute of a library bound in the module, e.g. cv2.cvtColor, read at call time.
inline ref cv2_attr(const module_state& st, const char* name) {
    return getattr(global(st, st.n.cv2).get(), name);
}
inline ref np_attr(const module_state& st, const char* name) {
    return getattr(global(st, st.n.np).get(), name);
}

}  // namespace huesift
