// extract_colors: the preparation chain, clustering and the colour records.
#include "../module/color_extractor.hpp"

#define NO_IMPORT_ARRAY
#include "../module/numpy_api.hpp"

#include <cstring>

namespace huesift {

namespace {

// A path that no file can have: an embedded NUL (OpenCV would read the name cut short) or
// text that is not valid UTF-8 (OpenCV's binding cannot take it).
bool unreadable_name(PyObject* path) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) {
            throw python_error();
        }
        PyErr_Clear();
        return true;
    }
    return std::strlen(utf8) != static_cast<std::size_t>(size);
}

ref load_image(module_state& st, PyObject* path, const char* message) {
    ref image = unreadable_name(path) ? none() : call(cv2_attr(st, "imread"), path);
    if (image.is_none()) {
        PyErr_Format(PyExc_ValueError, "%s%U", message, path);
        throw python_error();
    }
    return image;
}

// Each L*a*b* centre through its own one-pixel image, fractional parts dropped.
ref centres_to_rgb(module_state& st, PyObject* colors, bool lab_space) {
    ref np = global(st, st.n.np);
    ref uint8 = getattr(np.get(), "uint8");
    if (!lab_space) {
        return call_method(colors, "astype", uint8);
    }
    ref converted = steal(PyList_New(0));
    ref iter = steal(PyObject_GetIter(colors));
    ref code = cv2_attr(st, "COLOR_LAB2RGB");
    ref cvt = cv2_attr(st, "cvtColor");
    ref zero = from_long(0);
    while (PyObject* item = PyIter_Next(iter.get())) {
        ref color = steal(item);
        ref lab_color = call(uint8, nested(color.get()));
        ref rgb = call(cvt, lab_color, code);
        ref row = steal(PyObject_GetItem(rgb.get(), zero.get()));
        ref pixel = steal(PyObject_GetItem(row.get(), zero.get()));
        check(PyList_Append(converted.get(), pixel.get()));
    }
    if (PyErr_Occurred()) {
        throw python_error();
    }
    return call(getattr(np.get(), "array"), converted);
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
    ref sort = getattr(result.get(), "sort");
    call_kw(sort.get(), {}, {{from_str("key").get(), st.percentage_key.get()},
                             {from_str("reverse").get(), Py_True}});
    return result;
}

}  // namespace

ref prepare_pixels(PyObject* self, module_state& st, PyObject* image_arg, PyObject* mask_arg) {
    ref image = borrow(image_arg);
    ref mask = borrow(mask_arg);
    if (PyUnicode_Check(image.get())) {
        image = load_image(st, image.get(), "Could not load image from ");
    }
    if (PyUnicode_Check(mask.get())) {
        mask = load_image(st, mask.get(), "Could not load mask from ");
    }
    ref processed = call_step(step::preprocess, self, st, {image.get()});
    ref feature = call_step(step::feature_space, self, st, {processed.get()});
    return call_step(step::extract_pixels, self, st, {feature.get(), mask.get()});
}

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
