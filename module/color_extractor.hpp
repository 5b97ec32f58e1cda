// The ColorExtractor type: its fields, the module state, and every method the type publishes.
#pragma once

#include "args.hpp"
#include "methods.hpp"
#include "pyref.hpp"
#include "../preparation/distinct_rows.hpp"

#include <utility>
#include <vector>

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

// Module-level names, read from the module's namespace at the moment of use.
#define HUESIFT_GLOBAL_NAMES(X)                                                               \
    X(np, "np")                                                                               \
    X(cv2, "cv2")                                                                             \
    X(plt, "plt")                                                                             \
    X(KMeans, "KMeans")                                                                       \
    X(DBSCAN, "DBSCAN")                                                                       \
    X(StandardScaler, "StandardScaler") X(warnings, "warnings") X(cp, "cp")                   \
        X(KMeansGPU, "KMeansGPU") X(DBSCANGPU, "DBSCANGPU") X(GPU_AVAILABLE, "GPU_AVAILABLE") \
            X(get_compute_device, "get_compute_device")                                       \
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

// True while each named attribute of `owner` is still the object recorded beside its name.
// Never raises.
bool attributes_unchanged(PyObject* owner, const std::vector<std::pair<ref, ref>>& attributes);

// True while `np` and `cv2` in the module, and the library functions the native paths
// replace, are still the objects the module loaded. Never raises.
bool libraries_intact(const module_state& st);

// The threads a native core may use in this call: as many as scikit-learn's own OpenMP code
// would use, so that OMP_NUM_THREADS and threadpoolctl's limits hold for both. Never raises.
unsigned native_threads(const module_state& st);

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

// The six typed steps in slot order; `none` marks the other methods.
enum class step {
    preprocess,
    feature_space,
    apply_mask,
    extract_pixels,
    percentages,
    distance,
    none
};
// What a typed step's result must be when an override returns it.
enum class result_kind { array, list, number, none };

// Returns the override a Python subclass defines for a step, or an empty ref.
ref find_override(PyObject* self, step which);

// A typed step as the class's own operations call it: each argument without a default must be
// an array (or None); a subclass's override runs in place of the implementation, and its
// result is checked.
ref call_step(step which, PyObject* self, module_state& st, std::initializer_list<PyObject*> args);

// Steps: the C++ implementation.
ref preprocess_image(PyObject* self, module_state& st, PyObject* image);
ref convert_to_feature_space(PyObject* self, module_state& st, PyObject* image);
ref apply_mask(PyObject* self, module_state& st, PyObject* image, PyObject* mask);
ref extract_pixels(PyObject* self, module_state& st, PyObject* image, PyObject* mask);
ref calculate_percentages(PyObject* self, module_state& st, PyObject* labels);
double color_distance_lab(PyObject* self, module_state& st, PyObject* color1, PyObject* color2);

// Defines a method of the table in methods.hpp: `args` holds its parameters in order, parsed
// by its row, an absent optional one as null.
#define HUESIFT_METHOD(impl) ref impl(PyObject* self, module_state& st, PyObject* const* args)
#define HUESIFT_DECLARE_METHOD(name, impl, params, doc, slot, result) HUESIFT_METHOD(impl);
HUESIFT_METHODS(HUESIFT_DECLARE_METHOD)
#undef HUESIFT_DECLARE_METHOD

// Saved state: the object protocol's __reduce__ and __setstate__, and the restore function.
PyObject* py_reduce(PyObject* self, PyObject*);
PyObject* py_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_unpickle(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
#ifndef HUESIFT_CPU_ONLY
// The constructor's device decision from its use_gpu argument.
void decide_device(PyObject* self, module_state& st, PyObject* use_gpu);
PyObject* py_get_compute_device_gpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* py_get_compute_device_cpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
#endif

// The type, created by the module's exec step.
PyObject* create_extractor_type(PyObject* module);

// The preparation chain that extract_colors and the match report share: paths loaded, then
// preprocessing, feature space and the pixel matrix.
ref prepare_pixels(PyObject* self, module_state& st, PyObject* image, PyObject* mask);

// image[0][0]
ref first_pixel(PyObject* image);
// One colour through a one-pixel image: convert(uint8([[color]]))[0][0], where `convert` calls
// cv2.cvtColor with the code; the caller decides when each name is read.
template <class Convert>
ref convert_one_pixel(const ref& uint8, PyObject* color, Convert&& convert) {
    ref image = call(uint8, nested(color));
    return first_pixel(convert(image).get());
}

// An exact ndarray of uint8 (no subclass), as the native paths take.
bool is_plain_uint8(PyObject* obj);
// Such an array with N rows of 3 values (any strides).
bool is_plain_byte_rows(PyObject* pixels);
// The distinct rows of such an array, found with the GIL released; each row's number goes
// into `index` when given.
preparation::distinct_rows distinct_rows_of(PyObject* pixels, std::uint32_t* index = nullptr);

// Clustering entry points used by extract_colors.
ref cluster_kmeans(PyObject* self, module_state& st, PyObject* pixels);
ref cluster_dbscan(PyObject* self, module_state& st, PyObject* pixels);

}  // namespace huesift
