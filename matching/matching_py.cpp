// Colour matching: the L*a*b* distance, the closest colour, and the two target reports.
#include "band_scan.hpp"

#include "module/args.hpp"
#include "module/color_extractor.hpp"
#include "module/methods.hpp"
#include "preparation/arrays_py.hpp"
#include "preparation/chain_py.hpp"

#define NO_IMPORT_ARRAY
#include "module/numpy_api.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace huesift {

namespace {

ref convert_one(module_state& st, PyObject* color, const char* code) {
    return convert_one_pixel(np_attr(st, "uint8"), color, [&](const ref& image) {
        return call(cv2_attr(st, "cvtColor"), image, cv2_attr(st, code));
    });
}

bool is_packed_uint8_rows(PyObject* obj, npy_intp rows, int ndim) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (!is_plain_uint8(obj) || PyArray_NDIM(arr) != ndim || !PyArray_IS_C_CONTIGUOUS(arr) ||
        PyArray_DIM(arr, 0) != rows || PyArray_DIM(arr, ndim - 1) != 3) {
        return false;
    }
    return ndim == 2 || PyArray_DIM(arr, 1) == 1;
}

const std::uint8_t* bytes_of(PyObject* array) {
    return static_cast<const std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

}  // namespace

// ---- distance ---------------------------------------------------------------------------

ref color_distance_lab(call_context& ctx, PyObject* color1, PyObject* color2) {
    module_state& st = ctx.st;
    ref lab1 = convert_one(st, color1, "COLOR_RGB2LAB");
    ref lab2 = convert_one(st, color2, "COLOR_RGB2LAB");
    PyObject* as_float = reinterpret_cast<PyObject*>(&PyFloat_Type);
    ref f1 = call_method(lab1.get(), "astype", as_float);
    ref f2 = call_method(lab2.get(), "astype", as_float);
    ref diff = f1 - f2;
    ref squared = power(diff, from_long(2));
    ref total = call(np_attr(st, "sum"), squared);
    ref root = call(np_attr(st, "sqrt"), total);
    return from_double(to_c_double(root.get()));
}

// ---- closest colour ---------------------------------------------------------------------

ref find_closest_color(call_context& ctx, PyObject* target, PyObject* colors) {
    ref array = np_attr(ctx.st, "array");
    ref target_array = call(array, target);
    double min_distance = std::numeric_limits<double>::infinity();
    ref closest = none();
    ref color_key = from_str("color");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(colors); ++i) {
        ref color_info = borrow(PyList_GET_ITEM(colors, i));
        ref color = color_info[color_key];
        ref color_array = call(array, color);
        const double distance = to_c_double(
            call_step<method::_color_distance_lab>(ctx, target_array.get(), color_array.get())
                .get());
        if (distance < min_distance) {
            closest = color_info;
            min_distance = distance;
        }
    }
    return make_tuple({closest.get(), from_double(min_distance).get()});
}

// ---- similarity analysis ----------------------------------------------------------------

namespace {

ref round2(module_state& st, PyObject* value) {
    return call(st.builtin_round, value, from_long(2));
}

// Walks a dict's items in insertion order, failing as Python does if it changes size.
template <class Body>
void for_each_item(PyObject* dict, Body&& body) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        ref k = borrow(key);
        ref v = borrow(value);
        body(k.get(), v.get());
        if (PyDict_GET_SIZE(dict) != size) {
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    }
}

}  // namespace

ref analyze_color_similarity(call_context& ctx, PyObject* image, PyObject* targets, PyObject* mask,
                             double threshold) {
    module_state& st = ctx.st;
    ref image_colors = call_step<method::extract_colors>(ctx, image, mask);
    if (!truth(image_colors.get())) {
        return steal(PyDict_New());
    }
    ref results = steal(PyDict_New());
    for_each_item(targets, [&](PyObject* name, PyObject* target_rgb) {
        ref found = call_step<method::_find_closest_color>(ctx, target_rgb, image_colors.get());
        auto [closest, distance_obj] = unpack_pair(found.get());
        const double distance = to_c_double(distance_obj.get());
        // The record keeps the distance object itself, rounded: an override's int stays one.
        ref similarity = from_long(0);
        ref percentage = from_long(0);
        if (distance <= threshold) {
            if (threshold == 0.0) {
                raise(PyExc_ZeroDivisionError, "float division by zero");
            }
            const double score = (threshold - distance) / threshold * 100;
            similarity = score > 0 ? from_double(score) : from_long(0);
            ref share = steal(PyObject_GetItem(closest.get(), from_str("percentage").get()));
            ref factor = similarity / from_long(100);
            percentage = share * factor;
        }
        ref record = steal(PyDict_New());
        check(PyDict_SetItem(record.get(), from_str("percentage").get(),
                             round2(st, percentage.get()).get()));
        check(PyDict_SetItem(record.get(), from_str("similarity").get(),
                             round2(st, similarity.get()).get()));
        check(
            PyDict_SetItem(record.get(), from_str("closest_color").get(),
                           steal(PyObject_GetItem(closest.get(), from_str("color").get())).get()));
        check(PyDict_SetItem(record.get(), from_str("distance").get(),
                             round2(st, distance_obj.get()).get()));
        check(PyDict_SetItem(record.get(), from_str("found_directly").get(),
                             distance < 10.0 ? Py_True : Py_False));
        check(PyDict_SetItem(results.get(), name, record.get()));
    });
    return results;
}

// ---- match report -----------------------------------------------------------------------

namespace {

// The statistics of one target, as Python objects built exactly as NumPy would build them.
struct target_stats {
    ref very_close, close, somewhat_close;  // NumPy integer counts
    ref closest_pixel;                      // a row of the RGB pixels
    ref min_distance;                       // NumPy float64
};

ref make_record(module_state& st, const target_stats& s, Py_ssize_t total_pixels) {
    ref total = from_long(total_pixels);
    ref hundred = from_long(100);
    auto share = [&](const ref& count) {
        ref fraction = count / total;
        ref percent = fraction * hundred;
        return round2(st, percent.get());
    };
    ref record = steal(PyDict_New());
    check(PyDict_SetItem(record.get(), from_str("total_percentage").get(),
                         share(s.somewhat_close).get()));
    check(PyDict_SetItem(record.get(), from_str("close_percentage").get(), share(s.close).get()));
    check(PyDict_SetItem(record.get(), from_str("very_close_percentage").get(),
                         share(s.very_close).get()));
    check(PyDict_SetItem(record.get(), from_str("closest_pixel").get(),
                         int_tuple(s.closest_pixel.get()).get()));
    check(PyDict_SetItem(record.get(), from_str("min_distance").get(),
                         round2(st, s.min_distance.get()).get()));
    ref fifty = from_long(50);
    ref gap = fifty - s.min_distance;
    ref ratio = gap / fifty;
    ref score = ratio * hundred;
    ref zero = from_long(0);
    const int positive = PyObject_RichCompareBool(score.get(), zero.get(), Py_GT);
    check(positive);
    check(PyDict_SetItem(record.get(), from_str("similarity_score").get(),
                         round2(st, positive ? score.get() : zero.get()).get()));
    return record;
}

// One distance call per pixel, then NumPy's reductions over the collected distances.
target_stats stats_per_pixel(call_context& ctx, PyObject* pixels_rgb, PyObject* target_array) {
    module_state& st = ctx.st;
    ref distances_list = steal(PyList_New(0));
    for (const ref& pixel : borrow(pixels_rgb)) {
        const double d = to_c_double(
            call_step<method::_color_distance_lab>(ctx, target_array, pixel.get()).get());
        check(PyList_Append(distances_list.get(), from_double(d).get()));
    }
    ref distances = call(np_attr(st, "array"), distances_list);
    ref sum = np_attr(st, "sum");
    auto below = [&](std::int32_t limit) {
        ref mask = steal(PyObject_RichCompare(distances.get(), from_long(limit).get(), Py_LT));
        return call(sum, mask);
    };
    target_stats s;
    s.very_close = below(matching::band_limits[0]);
    s.close = below(matching::band_limits[1]);
    s.somewhat_close = below(matching::band_limits[2]);
    ref closest_idx = call(np_attr(st, "argmin"), distances);
    s.closest_pixel = steal(PyObject_GetItem(pixels_rgb, closest_idx.get()));
    s.min_distance = distances[closest_idx];
    return s;
}

// The target's L*a*b* bytes, converted exactly as the per-pixel path converts it; false when
// the conversion gives something other than three bytes.
bool target_lab(module_state& st, PyObject* target_array, std::uint8_t out[3]) {
    ref lab = convert_one(st, target_array, "COLOR_RGB2LAB");
    auto* arr = reinterpret_cast<PyArrayObject*>(lab.get());
    if (!is_plain_uint8(lab.get()) || PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != 3) {
        return false;
    }
    for (int c = 0; c < 3; ++c) {
        out[c] = *static_cast<const std::uint8_t*>(PyArray_GETPTR1(arr, c));
    }
    return true;
}

// `weights`: the rows are distinct colours standing for that many pixels each.
target_stats stats_native(module_state& st, PyObject* pixels_rgb, const std::uint8_t* lab,
                          std::size_t n, const std::uint8_t target[3],
                          const std::int64_t* weights = nullptr) {
    matching::band_counts counts;
    {
        gil_release nogil;
        counts = matching::scan_bands(lab, n, target, weights);
    }
    ref int64 = np_attr(st, "int64");
    ref float64 = np_attr(st, "float64");
    target_stats s;
    s.very_close = call(int64, from_long(counts.very_close));
    s.close = call(int64, from_long(counts.close));
    s.somewhat_close = call(int64, from_long(counts.somewhat_close));
    s.closest_pixel =
        steal(PySequence_GetItem(pixels_rgb, static_cast<Py_ssize_t>(counts.closest_index)));
    s.min_distance = call(float64, from_double(std::sqrt(static_cast<double>(counts.min_squared))));
    return s;
}

// The pixels back in RGB: one conversion per pixel, or one for all when they are plain bytes.
ref pixels_to_rgb(call_context& ctx, PyObject* pixels, Py_ssize_t n) {
    module_state& st = ctx.st;
    if (ctx.gate.allows(native_path::conversions, pixels)) {
        ref column = call_method(pixels, "reshape", from_long(-1), from_long(1), from_long(3));
        ref rgb = call(cv2_attr(st, "cvtColor"), column, cv2_attr(st, "COLOR_LAB2RGB"));
        if (is_packed_uint8_rows(rgb.get(), n, 3)) {
            return call_method(rgb.get(), "reshape", from_long(-1), from_long(3));
        }
    }
    ref converted = steal(PyList_New(0));
    for (const ref& pixel : borrow(pixels)) {
        check(PyList_Append(converted.get(), convert_one(st, pixel.get(), "COLOR_LAB2RGB").get()));
    }
    return call(np_attr(st, "array"), converted);
}

ref uint8_array(const std::vector<std::array<std::uint8_t, 3>>& values) {
    npy_intp dims[3] = {static_cast<npy_intp>(values.size()), 1, 3};
    ref out = steal(PyArray_SimpleNew(3, dims, NPY_UBYTE));
    static_assert(sizeof(values[0]) == 3, "packed rows of three bytes");
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), values.data(),
                3 * values.size());
    return out;
}

// rows[index]: the per-pixel rows back from the distinct ones.
ref gather_rows(PyObject* rows, const preparation::distinct_rows& colours) {
    npy_intp dims[2] = {static_cast<npy_intp>(colours.rows), 3};
    ref out = steal(PyArray_SimpleNew(2, dims, NPY_UBYTE));
    auto* dst =
        static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::uint8_t* src = bytes_of(rows);
    {
        gil_release nogil;
        matching::rows_per_pixel(src, colours.index, colours.rows, dst);
    }
    return out;
}

// The report over the distinct colours of plain byte rows: each colour is converted back to
// RGB and again to L*a*b* once (the batch conversion equals the one-pixel conversion for
// every 8-bit colour) and measured once, counted as its pixels. An empty ref when the rows
// do not qualify.
ref matches_by_colour(call_context& ctx, PyObject* pixels, PyObject* targets) {
    if (!ctx.gate.allows(native_path::matching, pixels)) {
        return {};
    }
    module_state& st = ctx.st;
    const preparation::distinct_rows colours = distinct_rows_of(pixels, native_threads(st));
    const std::size_t u = colours.values.size();
    ref values = uint8_array(colours.values);
    ref rgb = as_extractor(ctx.self)->lab_space
                  ? call(cv2_attr(st, "cvtColor"), values, cv2_attr(st, "COLOR_LAB2RGB"))
                  : values;
    if (!is_packed_uint8_rows(rgb.get(), static_cast<npy_intp>(u), 3)) {
        return {};
    }
    ref lab = call(cv2_attr(st, "cvtColor"), rgb, cv2_attr(st, "COLOR_RGB2LAB"));
    if (!is_packed_uint8_rows(lab.get(), static_cast<npy_intp>(u), 3)) {
        return {};
    }
    ref rgb_rows = call_method(rgb.get(), "reshape", from_long(-1), from_long(3));
    ref pixels_rgb;  // per pixel, only for a target the native scan cannot take
    const auto total_pixels = static_cast<Py_ssize_t>(colours.rows);
    ref results = steal(PyDict_New());
    ref array = np_attr(st, "array");
    for_each_item(targets, [&](PyObject* name, PyObject* target_rgb) {
        ref target_array = call(array, target_rgb);
        std::uint8_t target[3];
        target_stats s;
        if (target_lab(st, target_array.get(), target)) {
            s = stats_native(st, rgb_rows.get(), bytes_of(lab.get()), u, target,
                             colours.counts.data());
        } else {
            if (!pixels_rgb) {
                pixels_rgb = gather_rows(rgb_rows.get(), colours);
            }
            s = stats_per_pixel(ctx, pixels_rgb.get(), target_array.get());
        }
        check(PyDict_SetItem(results.get(), name, make_record(st, s, total_pixels).get()));
    });
    return results;
}

}  // namespace

ref find_color_matches(call_context& ctx, PyObject* image, PyObject* targets, PyObject* mask) {
    module_state& st = ctx.st;
    // The chain of extract_colors, a mask path included.
    ref pixels = prepare_pixels(ctx, image, mask);
    const Py_ssize_t n = length(pixels.get());
    if (n == 0) {
        return steal(PyDict_New());
    }
    if (ref results = matches_by_colour(ctx, pixels.get(), targets)) {
        return results;
    }
    ref pixels_rgb =
        as_extractor(ctx.self)->lab_space ? pixels_to_rgb(ctx, pixels.get(), n) : pixels;
    const Py_ssize_t total_pixels = length(pixels_rgb.get());

    // Where the call may, plain byte rows are measured natively against the L*a*b* of all
    // pixels, converted in one call.
    ref lab;
    if (ctx.gate.allows(native_path::matching, pixels_rgb.get())) {
        ref column =
            call_method(pixels_rgb.get(), "reshape", from_long(-1), from_long(1), from_long(3));
        lab = call(cv2_attr(st, "cvtColor"), column, cv2_attr(st, "COLOR_RGB2LAB"));
        if (!is_packed_uint8_rows(lab.get(), total_pixels, 3)) {
            lab = ref();
        }
    }
    ref results = steal(PyDict_New());
    ref array = np_attr(st, "array");
    for_each_item(targets, [&](PyObject* name, PyObject* target_rgb) {
        ref target_array = call(array, target_rgb);
        std::uint8_t target[3];
        target_stats s = lab && target_lab(st, target_array.get(), target)
                             ? stats_native(st, pixels_rgb.get(), bytes_of(lab.get()),
                                            static_cast<std::size_t>(total_pixels), target)
                             : stats_per_pixel(ctx, pixels_rgb.get(), target_array.get());
        check(PyDict_SetItem(results.get(), name, make_record(st, s, total_pixels).get()));
    });
    return results;
}

}  // namespace huesift
