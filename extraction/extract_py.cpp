// extract_colors: clustering of the prepared pixels, and the colour records.
#include "whole_centres.hpp"

#include "clustering/counted_py.hpp"
#include "module/color_extractor.hpp"
#include "module/methods.hpp"
#include "preparation/arrays_py.hpp"
#include "preparation/chain_py.hpp"

#define NO_IMPORT_ARRAY
#include "module/numpy_api.hpp"

namespace huesift {

namespace {

// The centres with every component within noise of a whole number of 0 to 255 set to that
// number, so a cluster of one exact colour keeps its value when the fraction is dropped: a copy
// when any changes, the same object otherwise (and for anything but a float array).
ref whole_centres(PyObject* colors) {
    if (!PyArray_Check(colors)) {
        return borrow(colors);
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(colors);
    const int type = PyArray_TYPE(arr);
    if (type != NPY_DOUBLE && type != NPY_FLOAT) {
        return borrow(colors);
    }
    ref copy = steal(PyArray_NewCopy(arr, NPY_CORDER));
    auto* out = reinterpret_cast<PyArrayObject*>(copy.get());
    const auto n = static_cast<std::size_t>(PyArray_SIZE(out));
    const bool changed = type == NPY_DOUBLE
                             ? extraction::snap_whole(static_cast<double*>(PyArray_DATA(out)), n,
                                                      extraction::whole_within_double)
                             : extraction::snap_whole(static_cast<float*>(PyArray_DATA(out)), n,
                                                      extraction::whole_within_float);
    return changed ? copy : borrow(colors);
}

// Each L*a*b* centre through its own one-pixel image, fractional parts dropped.
ref centres_to_rgb(module_state& st, PyObject* centres, bool lab_space) {
    ref whole = whole_centres(centres);
    PyObject* colors = whole.get();
    ref np = global(st, st.n.np);
    ref uint8 = np.attr("uint8");
    if (!lab_space) {
        return call_method(colors, "astype", uint8);
    }
    ref converted = steal(PyList_New(0));
    ref code = cv2_attr(st, "COLOR_LAB2RGB");
    ref cvt = cv2_attr(st, "cvtColor");
    for (const ref& color : borrow(colors)) {
        check(PyList_Append(converted.get(),
                            convert_one_pixel(uint8, color.get(), [&](const ref& image) {
                                return call(cvt, image, code);
                            }).get()));
    }
    return np.attr("array")(converted);
}

ref build_records(module_state& st, PyObject* colors, PyObject* percentages) {
    ref result = steal(PyList_New(0));
    ref color_iter = steal(PyObject_GetIter(colors));
    ref share_iter = steal(PyObject_GetIter(percentages));
    ref digits = from_long(2);
    ref color_key = from_str("color");
    ref percentage_key = from_str("percentage");
    for (;;) {
        PyObject* c = PyIter_Next(color_iter.get());
        if (c == nullptr) {
            break;
        }
        ref color = steal(c);
        PyObject* p = PyIter_Next(share_iter.get());
        if (p == nullptr) {
            break;
        }
        ref share = steal(p);
        ref record = steal(PyDict_New());
        check(PyDict_SetItem(record.get(), color_key.get(), int_tuple(color.get()).get()));
        check(PyDict_SetItem(record.get(), percentage_key.get(),
                             call(st.builtin_round, share, digits).get()));
        check(PyList_Append(result.get(), record.get()));
    }
    if (PyErr_Occurred()) {
        throw python_error();
    }
    ref sort = result.attr("sort");
    call_kw(sort.get(), {}, {{"key", st.percentage_key}, {"reverse", borrow(Py_True)}});
    return result;
}

// Whether the object is a ColorExtractor itself, whose steps are the class's own: a subclass's
// lookups of its steps, which may show, are left to run as the steps call for them.
bool plain_extractor(call_context& ctx) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(ctx.self)) != ctx.st.type.get()) {
        return false;
    }
    // Before Python 3.10 the class itself could be patched.
    for (method which : {method::_cluster_colors_kmeans, method::_calculate_percentages}) {
        if (override_of(ctx.self, ctx.st, ctx.st.own_methods[static_cast<std::size_t>(which)])) {
            return false;
        }
    }
    return true;
}

}  // namespace

ref extract_colors(call_context& ctx, PyObject* image, PyObject* mask) {
    ref pixels = prepare_pixels(ctx, image, mask);
    if (length(pixels.get()) == 0) {
        return steal(PyList_New(0));
    }
    extractor_object* obj = as_extractor(ctx.self);
    ref algorithm = obj->algorithm;
    ref clustered;
    if (equals(algorithm.get(), "kmeans")) {
        // Each label's pixels are counted from its colours where both steps are the class's
        // own and the shares would be counted natively: the same whole numbers.
        if (plain_extractor(ctx) && ctx.gate.allows(native_path::shares)) {
            std::vector<std::int64_t> counts;
            ref counted = cluster_kmeans_counting(ctx, pixels.get(), &counts);
            if (!counts.empty()) {
                auto [colors, none] = unpack_pair(counted.get());
                ref rgb = centres_to_rgb(ctx.st, colors.get(), obj->lab_space);
                return build_records(ctx.st, rgb.get(), shares_list(counts).get());
            }
            clustered = counted;
        } else {
            clustered = call_step<method::_cluster_colors_kmeans>(ctx, pixels.get());
        }
    } else if (equals(algorithm.get(), "dbscan")) {
        clustered = call_step<method::_cluster_colors_dbscan>(ctx, pixels.get());
    } else {
        ref text = steal(PyObject_Str(algorithm.get()));
        PyErr_Format(PyExc_ValueError, "Unknown algorithm: %U", text.get());
        throw python_error();
    }
    auto [colors, labels] = unpack_pair(clustered.get());
    ref percentages = call_step<method::_calculate_percentages>(ctx, labels.get());
    ref rgb = centres_to_rgb(ctx.st, colors.get(), obj->lab_space);
    return build_records(ctx.st, rgb.get(), percentages.get());
}

}  // namespace huesift
