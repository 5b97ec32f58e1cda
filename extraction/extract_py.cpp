// extract_colors: clustering of the prepared pixels, and the colour records.
#include "../module/color_extractor.hpp"

#define NO_IMPORT_ARRAY
#include "../module/numpy_api.hpp"

namespace huesift {

namespace {

// Each L*a*b* centre through its own one-pixel image, fractional parts dropped.
ref centres_to_rgb(module_state& st, PyObject* colors, bool lab_space) {
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

}  // namespace

ref extract_colors(PyObject* self, module_state& st, PyObject* image, PyObject* mask) {
    ref pixels = prepare_pixels(self, st, image, mask);
    if (length(pixels.get()) == 0) {
        return steal(PyList_New(0));
    }
    extractor_object* obj = as_extractor(self);
    ref algorithm = obj->algorithm;
    ref clustered;
    if (equals(algorithm.get(), "kmeans")) {
        clustered = call_method(self, "_cluster_colors_kmeans", pixels);
    } else if (equals(algorithm.get(), "dbscan")) {
        clustered = call_method(self, "_cluster_colors_dbscan", pixels);
    } else {
        ref text = steal(PyObject_Str(algorithm.get()));
        PyErr_Format(PyExc_ValueError, "Unknown algorithm: %U", text.get());
        throw python_error();
    }
    auto [colors, labels] = unpack_pair(clustered.get());
    check_array_result(labels.get());
    ref percentages = call_step(step::percentages, self, st, {labels.get()});
    ref rgb = centres_to_rgb(st, colors.get(), obj->lab_space);
    return build_records(st, rgb.get(), percentages.get());
}

HUESIFT_METHOD(extract_colors_method) {
    return extract_colors(self, st, args[0], args[1] ? args[1] : Py_None);
}

}  // namespace huesift
