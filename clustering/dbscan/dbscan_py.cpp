// DBSCAN clustering as a ColorExtractor step, on the CPU or through the GPU libraries.
#include "dbscan.hpp"
#include "standard_scaler.hpp"

#include "module/color_extractor.hpp"
#include "module/methods.hpp"
#include "preparation/arrays_py.hpp"

#define NO_IMPORT_ARRAY
#include "module/numpy_api.hpp"

#include <vector>

namespace huesift {

namespace {

// max(50, len(pixels) // 100)
Py_ssize_t min_samples_for(Py_ssize_t n) { return n / 100 > 50 ? n / 100 : 50; }

bool is_noise(PyObject* label) {
    ref minus_one = from_long(-1);
    int rc = PyObject_RichCompareBool(label, minus_one.get(), Py_EQ);
    check(rc);
    return rc != 0;
}

// After keeping the largest clusters, renumber every cluster by its rank in the size order
// (the kept ones first, as the centres are), so that label i belongs to centre i and the
// dropped clusters still count in the analysed area; noise stays -1.
ref relabel(module_state& st, PyObject* labels, PyObject* valid_labels, PyObject* order) {
    ref np = global(st, st.n.np);
    ref result = np.attr("full_like")(labels, from_long(-1));
    const Py_ssize_t k = length(order);
    for (Py_ssize_t rank = 0; rank < k; ++rank) {
        ref position = steal(PySequence_GetItem(order, rank));
        ref label = steal(PyObject_GetItem(valid_labels, position.get()));
        ref members = steal(PyObject_RichCompare(labels, label.get(), Py_EQ));
        check(PyObject_SetItem(result.get(), members.get(), from_long(rank).get()));
    }
    return result;
}

// The reduction's size order: np.argsort(sizes)[::-1], and its first n_colors.
std::pair<ref, ref> size_order(module_state& st, PyObject* sizes, int n_colors) {
    ref np = global(st, st.n.np);
    ref ascending = np.attr("argsort")(sizes);
    ref reverse = steal(PySlice_New(nullptr, nullptr, from_long(-1).get()));
    ref order = ascending[reverse];
    ref cut = steal(PySlice_New(nullptr, from_long(n_colors).get(), nullptr));
    return {order, order[cut]};
}

void read_triple(PyObject* values, double out[3]) {
    for (Py_ssize_t c = 0; c < 3; ++c) {
        out[c] = to_c_double(steal(PySequence_GetItem(values, c)).get());
    }
}

// A fit over 8-bit rows gives means in [0, 255] and standard deviations of at most 127.5;
// a scale below 1e-8 would need some 10^16 rows. Anything else did not come from such a fit
// (a patched scaler, say), and the lattice search is not meant for it.
bool fitted_on_bytes(const double mean[3], const double scale[3]) {
    for (int c = 0; c < 3; ++c) {
        if (!(mean[c] >= 0.0 && mean[c] <= 255.0 && scale[c] >= 1e-8 && scale[c] <= 128.0)) {
            return false;
        }
    }
    return true;
}

ref dbscan_literal(call_context& ctx, PyObject* pixels, PyObject* fitted);

// Labels for every row from the clusters found per colour, cluster l written as rank[l].
ref row_labels(const clustering::dbscan_result& found, const std::vector<std::int64_t>& rank) {
    npy_intp n = static_cast<npy_intp>(found.colours.rows);
    ref out = steal(PyArray_SimpleNew(1, &n, NPY_INTP));
    auto* dst =
        static_cast<std::intptr_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    gil_release nogil;
    clustering::write_row_labels(found, rank, dst);
    return out;
}

// scikit-learn's own scaler and DBSCAN over plain byte rows: the same labels, computed over
// the distinct colours of the 8-bit lattice instead of every row's neighbourhood.
ref dbscan_lattice_path(call_context& ctx, PyObject* pixels) {
    module_state& st = ctx.st;
    const int n_colors = as_extractor(ctx.self)->n_colors;
    ref np = global(st, st.n.np);
    clustering::dbscan_input in{};
    in.rows = byte_rows_of(pixels);
    if (ctx.gate.allows(native_path::scaler_fit) && clustering::scaler_fit_follows(in.rows)) {
        gil_release nogil;
        clustering::fit_standard_scaler(in.rows, in.mean, in.scale);
    } else {
        ref scaler = call(global(st, st.n.StandardScaler));
        call_method(scaler.get(), "fit", pixels);
        read_triple(scaler.attr("mean_").get(), in.mean);
        read_triple(scaler.attr("scale_").get(), in.scale);
        if (!fitted_on_bytes(in.mean, in.scale)) {
            return dbscan_literal(ctx, pixels, scaler.get());
        }
    }
    in.min_samples = min_samples_for(in.rows.rows);
    in.eps = 0.5;
    in.threads = native_threads(st);
    clustering::dbscan_result found;
    {
        gil_release nogil;
        found = clustering::dbscan_lattice(in);
    }
    const std::size_t k = found.sizes.size();
    if (k == 0) {
        ref colors = np.attr("array")(steal(PyList_New(0)));
        return make_tuple({colors.get(), row_labels(found, {}).get()});
    }
    npy_intp dims[2] = {static_cast<npy_intp>(k), 3};
    ref colors = steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    clustering::write_centres(
        found, static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(colors.get()))));
    if (static_cast<long long>(k) <= n_colors) {
        return make_tuple({colors.get(), row_labels(found, {}).get()});
    }
    npy_intp count = static_cast<npy_intp>(k);
    ref sizes = steal(PyArray_SimpleNew(1, &count, NPY_INTP));
    std::copy(found.sizes.begin(), found.sizes.end(),
              static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sizes.get()))));
    auto [order, sorted_indices] = size_order(st, sizes.get(), n_colors);
    ref kept = colors[sorted_indices];
    std::vector<std::int64_t> rank(k);
    for (std::size_t r = 0; r < k; ++r) {
        const long long position = PyLong_AsLongLong(
            steal(PySequence_GetItem(order.get(), static_cast<Py_ssize_t>(r))).get());
        if (position == -1 && PyErr_Occurred()) {
            throw python_error();
        }
        rank[static_cast<std::size_t>(position)] = static_cast<std::int64_t>(r);
    }
    return make_tuple({kept.get(), row_labels(found, rank).get()});
}

ref dbscan_cpu(call_context& ctx, PyObject* pixels) {
    if (ctx.gate.allows(native_path::dbscan, pixels) &&
        clustering::dbscan_accepts(PyArray_DIM(reinterpret_cast<PyArrayObject*>(pixels), 0))) {
        return dbscan_lattice_path(ctx, pixels);
    }
    return dbscan_literal(ctx, pixels, nullptr);
}

// The steps as written. `fitted` is a scaler the lattice path has already fitted to these
// pixels: fit_transform is fit, then transform, so only the transform is left to do.
ref dbscan_literal(call_context& ctx, PyObject* pixels, PyObject* fitted) {
    module_state& st = ctx.st;
    const int n_colors = as_extractor(ctx.self)->n_colors;
    ref np = global(st, st.n.np);
    ref scaler = fitted ? borrow(fitted) : call(global(st, st.n.StandardScaler));
    ref pixels_scaled = call_method(scaler.get(), fitted ? "transform" : "fit_transform", pixels);
    ref dbscan = call_kw(
        global(st, st.n.DBSCAN).get(), {},
        {{"eps", from_double(0.5)}, {"min_samples", from_long(min_samples_for(length(pixels)))}});
    ref labels = call_method(dbscan.get(), "fit_predict", pixels_scaled);
    ref unique_labels = np.attr("unique")(labels);

    ref centres = steal(PyList_New(0));
    ref valid = steal(PyList_New(0));
    for (const ref& label : unique_labels) {
        if (is_noise(label.get())) {
            continue;
        }
        ref members = compare(labels, label, Py_EQ);
        ref cluster_pixels = steal(PyObject_GetItem(pixels, members.get()));
        ref centre = call_kw(np.attr("mean"), {cluster_pixels.get()}, {{"axis", from_long(0)}});
        check(PyList_Append(centres.get(), centre.get()));
        check(PyList_Append(valid.get(), label.get()));
    }
    ref colors = np.attr("array")(centres);
    const Py_ssize_t found = length(colors.get());
    if (found <= n_colors) {
        return make_tuple({colors.get(), labels.get()});
    }
    ref sizes = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < found; ++i) {
        ref label = steal(PySequence_GetItem(valid.get(), i));
        ref members = compare(labels, label, Py_EQ);
        check(PyList_Append(sizes.get(), np.attr("sum")(members).get()));
    }
    auto [order, sorted_indices] = size_order(st, sizes.get(), n_colors);
    ref kept = colors[sorted_indices];
    ref valid_array = np.attr("array")(valid);
    return make_tuple(
        {kept.get(), relabel(st, labels.get(), valid_array.get(), order.get()).get()});
}

#ifndef HUESIFT_CPU_ONLY
ref dbscan_gpu(module_state& st, PyObject* pixels) {
    ref np = global(st, st.n.np);
    ref cp = global(st, st.n.cp);
    ref device_array = cp.attr("ndarray");
    const int is_device = PyObject_IsInstance(pixels, device_array.get());
    check(is_device);
    ref pixels_gpu = is_device ? borrow(pixels) : cp.attr("asarray")(pixels);
    ref axis0 = from_long(0);
    ref mean = call_kw(cp.attr("mean"), {pixels_gpu.get()}, {{"axis", axis0}});
    ref std = call_kw(cp.attr("std"), {pixels_gpu.get()}, {{"axis", axis0}});
    ref centred = pixels_gpu - mean;
    ref spread = std + from_double(1e-8);
    ref pixels_scaled = centred / spread;
    ref dbscan = call_kw(
        global(st, st.n.DBSCANGPU).get(), {},
        {{"eps", from_double(0.5)}, {"min_samples", from_long(min_samples_for(length(pixels)))}});
    ref labels = call_method(dbscan.get(), "fit_predict", pixels_scaled);
    ref unique_labels = cp.attr("unique")(labels);
    ref asnumpy = cp.attr("asnumpy");
    ref host_labels = call(asnumpy, unique_labels);
    ref centres = steal(PyList_New(0));
    for (const ref& label : host_labels) {
        if (is_noise(label.get())) {
            continue;
        }
        ref members = compare(labels, label, Py_EQ);
        ref cluster_pixels = pixels_gpu[members];
        ref centre = call_kw(cp.attr("mean"), {cluster_pixels.get()}, {{"axis", axis0}});
        check(PyList_Append(centres.get(), call(asnumpy, centre).get()));
    }
    ref array = np.attr("array");
    ref colors =
        PyList_GET_SIZE(centres.get()) ? call(array, centres) : call(array, steal(PyList_New(0)));
    return make_tuple({colors.get(), call(asnumpy, labels).get()});
}
#endif

}  // namespace

ref cluster_dbscan(call_context& ctx, PyObject* pixels) {
#ifndef HUESIFT_CPU_ONLY
    if (as_extractor(ctx.self)->use_gpu_compute) {
        return dbscan_gpu(ctx.st, pixels);
    }
#endif
    return dbscan_cpu(ctx, pixels);
}

}  // namespace huesift
