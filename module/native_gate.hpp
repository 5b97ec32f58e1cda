// Which native paths one call may take. A native path stands in for steps written in NumPy,
// OpenCV, scikit-learn or the class's own methods, and gives their answer only while each of
// those is the one loaded; the gate decides that once per call, at the first question, and the
// call's code asks it rather than looking for itself.
#pragma once

#include "methods.hpp"
#include "module_state.hpp"

namespace huesift {

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

// The override a Python subclass (or an instance attribute) defines for a method of the
// table, or an empty ref when the class's own runs.
ref find_override(PyObject* self, const module_state& st, method which);

// An exact ndarray of uint8 (no subclass), as the native paths take.
bool is_plain_uint8(PyObject* obj);

}  // namespace huesift
