// The module's state: what it loaded, the module-level names it reads from its namespace at
// the moment of use, the gate that decides once per call which native paths the call may
// take, and the thread policy of the native cores.
#pragma once

#include "pyref.hpp"

#include <string>
#include <utility>
#include <vector>

// A row of either build profile expands in the build that has it: `both`, or `full` (not the
// CPU-only profile).
#define HUESIFT_IN_PROFILE_both(...) __VA_ARGS__
#ifndef HUESIFT_CPU_ONLY
#define HUESIFT_IN_PROFILE_full(...) __VA_ARGS__
#else
#define HUESIFT_IN_PROFILE_full(...)
#endif

// The libraries bound when the module loads, in that order: the module-level name, the module
// imported, the name taken from it (null for the module itself), and the profile that has it.
#define HUESIFT_LIBRARIES(X)                                                        \
    X(np, "numpy", nullptr, both)                                                   \
    X(cv2, "cv2", nullptr, both)                                                    \
    X(KMeans, "sklearn.cluster", "KMeans", both)                                    \
    X(DBSCAN, "sklearn.cluster", "DBSCAN", both)                                    \
    X(StandardScaler, "sklearn.preprocessing", "StandardScaler", both)              \
    X(euclidean_distances, "sklearn.metrics.pairwise", "euclidean_distances", both) \
    X(List, "typing", "List", both)                                                 \
    X(Tuple, "typing", "Tuple", both)                                               \
    X(Optional, "typing", "Optional", both)                                         \
    X(Union, "typing", "Union", both)                                               \
    X(Dict, "typing", "Dict", both)                                                 \
    X(Image, "PIL", "Image", both)                                                  \
    X(plt, "matplotlib.pyplot", nullptr, both)                                      \
    X(warnings, "warnings", nullptr, full)

// The GPU libraries the full profile probes for, the same way; when one import fails, all of
// them are None.
#define HUESIFT_GPU_LIBRARIES(X)                 \
    X(cp, "cupy", nullptr, full)                 \
    X(KMeansGPU, "cuml.cluster", "KMeans", full) \
    X(DBSCANGPU, "cuml.cluster", "DBSCAN", full)

// The names the module makes itself, besides the class: the GPU flag and device function, the
// restore function, and the rules the package's Python code must agree with.
#define HUESIFT_OWN_NAMES(X)                     \
    X(GPU_AVAILABLE, "GPU_AVAILABLE")            \
    X(get_compute_device, "get_compute_device")  \
    X(unpickle, "__pyx_unpickle_ColorExtractor") \
    X(MASK_THRESHOLD, "MASK_THRESHOLD")          \
    X(DISTANCE_BANDS, "DISTANCE_BANDS")          \
    X(STATE_FIELDS, "STATE_FIELDS")              \
    X(SKLEARN_RELEASES, "SKLEARN_RELEASES")

namespace huesift {

// Every module-level name, interned.
struct names {
#define HUESIFT_LIBRARY_NAME(field, module, attribute, profile) ref field;
#define HUESIFT_OWN_NAME(field, text) ref field;
    HUESIFT_LIBRARIES(HUESIFT_LIBRARY_NAME)
    HUESIFT_GPU_LIBRARIES(HUESIFT_LIBRARY_NAME)
    HUESIFT_OWN_NAMES(HUESIFT_OWN_NAME)
#undef HUESIFT_OWN_NAME
#undef HUESIFT_LIBRARY_NAME

    void intern();
    template <class Visit>
    void for_each(Visit&& visit) {
#define HUESIFT_LIBRARY_NAME(field, module, attribute, profile) visit(field);
#define HUESIFT_OWN_NAME(field, text) visit(field);
        HUESIFT_LIBRARIES(HUESIFT_LIBRARY_NAME)
        HUESIFT_GPU_LIBRARIES(HUESIFT_LIBRARY_NAME)
        HUESIFT_OWN_NAMES(HUESIFT_OWN_NAME)
#undef HUESIFT_OWN_NAME
#undef HUESIFT_LIBRARY_NAME
    }
};

struct module_state {
    ref type;        // the ColorExtractor type object
    PyObject* dict;  // the module's namespace (borrowed: the module owns it)
    names n;
    // The methods of the table as the type was made with them, in the table's order: a method
    // found on an object that is none of these is an override. `own_distance` is the table's
    // _color_distance_lab, whose override turns the native match statistics off.
    const PyMethodDef* own_methods = nullptr;
    const PyMethodDef* own_distance = nullptr;
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
        n.for_each(visit);
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

// The ColorExtractor type's dealloc (color_extractor.cpp); a Python subclass gets CPython's own,
// so it marks the type this module made.
void extractor_dealloc(PyObject* self);

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

// The override a Python subclass (or an instance attribute) defines for `own`, a method of
// the table, or an empty ref when the class's own runs.
ref override_of(PyObject* self, const module_state& st, const PyMethodDef& own);

// An exact ndarray of uint8 (no subclass), as the native paths take.
bool is_plain_uint8(PyObject* obj);

// ---- the gate ---------------------------------------------------------------------------
// A native path stands in for steps written in NumPy, OpenCV, scikit-learn or the class's own
// methods, and gives their answer only while each of those is the one loaded; the gate decides
// that once per call, at the first question, and the call's code asks it rather than looking
// for itself.

enum class native_path {
    pixels,       // the pixel matrix gathered in C++: NumPy and OpenCV as loaded
    shares,       // the cluster shares counted in C++: the same
    conversions,  // a colour conversion of all rows in one call: the same
    kmeans,       // KMeans(...).fit_predict: and KMeans as loaded, with its fit and
                  // fit_predict, in a scikit-learn release whose k-means is followed
    dbscan,       // StandardScaler and DBSCAN: and both as loaded, DBSCAN's fit and
                  // fit_predict too
    scaler_fit,   // StandardScaler().fit in C++: its fit and partial_fit as loaded, in a
                  // scikit-learn release whose scaler fit is followed
    matching,     // the match statistics in C++: the class's own _color_distance_lab, and
                  // NumPy and OpenCV as loaded
};

class native_gate {
public:
    native_gate(PyObject* self, module_state& st) noexcept : self_(self), st_(st) {}

    // May the call take this path? Raises only as the call itself would: NameError for an
    // estimator's name a host deleted, or an error looking up an override.
    bool allows(native_path path);
    // ... on these rows: an exact ndarray of uint8 (no subclass) with N rows of 3 values, any
    // strides.
    bool allows(native_path path, PyObject* rows);

private:
    enum class answer : signed char { open, no, yes };
    template <class Decide>
    bool once(answer& memo, Decide&& decide);

    PyObject* self_;
    module_state& st_;
    answer libraries_ = answer::open;
    answer kmeans_ = answer::open;
    answer dbscan_ = answer::open;
    answer scaler_fit_ = answer::open;
    answer own_distance_ = answer::open;
};

// ---- threads ----------------------------------------------------------------------------

// The threads a native core may use in this call: as many as scikit-learn's own OpenMP code
// would use (threads.hpp). Never raises.
unsigned native_threads(const module_state& st);

}  // namespace huesift
