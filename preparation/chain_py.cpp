// The preparation chain that extract_colors and the match report share: paths loaded, then
// preprocessing, feature space and the pixel matrix, each step through its dispatch.
#include "chain_py.hpp"

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

}  // namespace

ref prepare_pixels(call_context& ctx, PyObject* image_arg, PyObject* mask_arg) {
    ref image = borrow(image_arg);
    ref mask = borrow(mask_arg);
    if (PyUnicode_Check(image.get())) {
        image = load_image(ctx.st, image.get(), "Could not load image from ");
    }
    if (PyUnicode_Check(mask.get())) {
        mask = load_image(ctx.st, mask.get(), "Could not load mask from ");
    }
    ref processed = call_step<method::_preprocess_image>(ctx, image.get());
    ref feature = call_step<method::_convert_to_feature_space>(ctx, processed.get());
    return call_step<method::_extract_pixels>(ctx, feature.get(), mask.get());
}

}  // namespace huesift
