// Image preparation as ColorExtractor steps: preprocessing, feature space, masking, pixels.
#include "../module/args.hpp"
#include "../module/color_extractor.hpp"
#include "../module/methods.hpp"
#include "pixel_select.hpp"

#define NO_IMPORT_ARRAY
#include "../module/numpy_api.hpp"

#include <optional>

namespace huesift {

namespace {

// OpenCV misreads some arrays with a zero stride (broadcast views, e.g. of shape (n, 1) or
// of more than three dimensions), so every such array reaches it as the same values in
// plain memory.
ref for_opencv(module_state& st, PyObject* array) {
    if (PyArray_Check(array)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(array);
        for (int d = 0; d < PyArray_NDIM(arr); ++d) {
            if (PyArray_STRIDE(arr, d) == 0 && PyArray_DIM(arr, d) > 1) {
                return call(np_attr(st, "ascontiguousarray"), array);
            }
        }
    }
    return borrow(array);
}

ref cvt_color(module_state& st, PyObject* image, const char* code) {
    return call(cv2_attr(st, "cvtColor"), for_opencv(st, image), cv2_attr(st, code));
}

// The fused fast path accepts plain uint8 arrays only; everything else takes NumPy's own
// expressions, so subclasses, other dtypes and odd shapes behave exactly as NumPy does.
bool grid_of(PyObject* obj, preparation::pixel_grid& grid) {
    if (!is_plain_uint8(obj)) {
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* shape = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
    if (PyArray_NDIM(arr) == 3 && shape[2] == 3) {
        grid = {data, shape[0], shape[1], strides[0], strides[1], strides[2]};
        return true;
    }
    if (PyArray_NDIM(arr) == 2 && shape[1] == 3) {
        grid = {data, shape[0], 1, strides[0], 0, strides[1]};
        return true;
    }
    return false;
}

ref gather_once(const preparation::pixel_grid& grid, const preparation::selection* mask,
                bool release_gil, unsigned threads) {
    std::vector<std::size_t> counts;
    {
        std::optional<gil_release> nogil;
        if (release_gil) {
            nogil.emplace();
        }
        counts = preparation::count_kept_by_rows(grid, mask, threads);
    }
    std::size_t n = 0;
    for (std::size_t c : counts) {
        n += c;
    }
    npy_intp dims[2] = {static_cast<npy_intp>(n), 3};
    ref out = steal(PyArray_SimpleNew(2, dims, NPY_UBYTE));
    auto* dst =
        static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    bool whole = false;
    {
        std::optional<gil_release> nogil;
        if (release_gil) {
            nogil.emplace();
        }
        whole = preparation::gather_kept_by_rows(grid, mask, counts, dst, threads);
    }
    return whole ? out : ref();
}

// Counts, then copies. Another thread may write to the image between the two passes while
// the GIL is released; the copy never passes the count, and a mismatch is done again with
// the GIL held, when no Python code can change the array.
ref gather(call_context& ctx, const preparation::pixel_grid& grid,
           const preparation::selection* mask) {
    const unsigned threads = native_threads(ctx.st);
    if (ref out = gather_once(grid, mask, true, threads)) {
        return out;
    }
    return gather_once(grid, mask, false, threads);
}

int ndim_of(PyObject* array) { return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array)); }

// pixels[~np.all(pixels == 0, axis=1)]; natively only for N x 3 rows, where the expression
// provably means "the rows that are not (0, 0, 0)". Any other shape gets NumPy's own answer
// or error.
ref drop_zero_rows(call_context& ctx, PyObject* pixels) {
    preparation::pixel_grid grid{};
    if (grid_of(pixels, grid) && ndim_of(pixels) == 2 && ctx.gate.allows(native_path::pixels)) {
        return gather(ctx, grid, nullptr);
    }
    ref np = global(ctx.st, ctx.st.n.np);
    ref zero = from_long(0);
    ref is_zero = steal(PyObject_RichCompare(pixels, zero.get(), Py_EQ));
    ref axis = from_long(1);
    ref all = call_kw(np.attr("all"), {is_zero.get()}, {{"axis", axis}});
    ref keep = ~all;
    return steal(PyObject_GetItem(pixels, keep.get()));
}

// masked_image[mask_binary], then the zero-row filter.
ref select_rows(call_context& ctx, PyObject* masked, PyObject* mask_binary) {
    preparation::pixel_grid grid{};
    if (grid_of(masked, grid) && PyArray_CheckExact(mask_binary) &&
        ctx.gate.allows(native_path::pixels)) {
        auto* sel = reinterpret_cast<PyArrayObject*>(mask_binary);
        auto* img = reinterpret_cast<PyArrayObject*>(masked);
        if (PyArray_NDIM(img) == 3 && PyArray_TYPE(sel) == NPY_BOOL && PyArray_NDIM(sel) == 2 &&
            PyArray_DIMS(sel)[0] == grid.rows && PyArray_DIMS(sel)[1] == grid.cols) {
            preparation::selection mask{static_cast<const std::uint8_t*>(PyArray_DATA(sel)),
                                        PyArray_STRIDES(sel)[0], PyArray_STRIDES(sel)[1]};
            return gather(ctx, grid, &mask);
        }
    }
    ref picked = steal(PyObject_GetItem(masked, mask_binary));
    return drop_zero_rows(ctx, picked.get());
}

}  // namespace

ref preprocess_image(call_context& ctx, PyObject* image) {
    if (!as_extractor(ctx.self)->preprocessing) {
        return borrow(image);
    }
    module_state& st = ctx.st;
    ref lab = cvt_color(st, image, "COLOR_BGR2LAB");
    ref clahe = call_kw(cv2_attr(st, "createCLAHE"), {},
                        {{"clipLimit", from_double(3.0)},
                         {"tileGridSize", make_tuple({from_long(8).get(), from_long(8).get()})}});
    ref all = steal(PySlice_New(nullptr, nullptr, nullptr));
    ref channel = make_tuple({all.get(), all.get(), from_long(0).get()});
    ref lightness = lab[channel];
    ref equalised = call_method(clahe.get(), "apply", lightness);
    check(PyObject_SetItem(lab.get(), channel.get(), equalised.get()));
    ref enhanced = cvt_color(st, lab.get(), "COLOR_LAB2BGR");
    return call(cv2_attr(st, "bilateralFilter"), enhanced, from_long(9), from_long(75),
                from_long(75));
}

ref convert_to_feature_space(call_context& ctx, PyObject* image) {
    const bool lab = as_extractor(ctx.self)->lab_space;
    return cvt_color(ctx.st, image, lab ? "COLOR_BGR2LAB" : "COLOR_BGR2RGB");
}

ref apply_mask(call_context& ctx, PyObject* image, PyObject* mask) {
    if (mask == Py_None) {
        return borrow(image);
    }
    module_state& st = ctx.st;
    ref grey = borrow(mask);
    if (ndim_of(mask) == 3) {
        grey = cvt_color(st, mask, "COLOR_BGR2GRAY");
        check_array_result(grey.get());
    }
    ref above = compare(grey, from_long(preparation::mask_threshold), Py_GT);
    ref scaled = above * from_long(255);
    ref uint8 = np_attr(st, "uint8");
    ref binary = call_method(scaled.get(), "astype", uint8);
    ref source = for_opencv(st, image);
    return call_kw(cv2_attr(st, "bitwise_and").get(), {source.get(), source.get()},
                   {{"mask", binary}});
}

ref extract_pixels(call_context& ctx, PyObject* image, PyObject* mask) {
    if (mask == Py_None) {
        // image.reshape(-1, 3) of an H x W x 3 or N x 3 array lists the same pixels in the
        // same order as the grid.
        preparation::pixel_grid grid{};
        if (grid_of(image, grid) && ctx.gate.allows(native_path::pixels)) {
            return gather(ctx, grid, nullptr);
        }
        ref flat = call_method(image, "reshape", from_long(-1), from_long(3));
        return drop_zero_rows(ctx, flat.get());
    }
    check_array_result(mask);
    module_state& st = ctx.st;
    ref masked = call_step<method::_apply_mask>(ctx, image, mask);
    ref binary =
        steal(PyObject_RichCompare(mask, from_long(preparation::mask_threshold).get(), Py_GT));
    if (ndim_of(mask) == 3) {
        ref uint8 = np_attr(st, "uint8");
        ref bytes = call_method(binary.get(), "astype", uint8);
        ref scaled = bytes * from_long(255);
        ref grey = cvt_color(st, scaled.get(), "COLOR_BGR2GRAY");
        binary = compare(grey, from_long(preparation::mask_threshold), Py_GT);
    }
    return select_rows(ctx, masked.get(), binary.get());
}

}  // namespace huesift
