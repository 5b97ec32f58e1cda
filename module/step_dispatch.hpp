// The dispatch of the table's methods: from Python through their entries, and from the class's
// own code through call_step, each to a subclass's override or to its implementation.
#pragma once

#include "args.hpp"
#include "methods.hpp"
#include "module_state.hpp"

#include <initializer_list>
#include <vector>

namespace huesift {

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

// Clustering entry points used by extract_colors.
ref cluster_kmeans(PyObject* self, module_state& st, PyObject* pixels);
ref cluster_dbscan(PyObject* self, module_state& st, PyObject* pixels);

// Defines a method of the table in methods.hpp: `args` holds its parameters in order, parsed
// by its row, an absent optional one as null.
#define HUESIFT_METHOD(impl) ref impl(PyObject* self, module_state& st, PyObject* const* args)
#define HUESIFT_DECLARE_METHOD(name, impl, params, doc, slot, result) HUESIFT_METHOD(impl);
HUESIFT_METHODS(HUESIFT_DECLARE_METHOD)
#undef HUESIFT_DECLARE_METHOD

// The table's methods for the type, in the table's order, each with its text signature.
const std::vector<PyMethodDef>& table_methods();

}  // namespace huesift
