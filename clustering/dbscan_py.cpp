// DBSCAN clustering as a ColorExtractor step, on the CPU or through the GPU libraries.
#include "../module/color_extractor.hpp"

#define NO_IMPORT_ARRAY
#include "../module/numpy_api.hpp"

#include <vector>

namespace huesift {

namespace {

ref kw(const char* name) { return from_str(name); }

Py_ssize_t length_of(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) {
        throw python_error();
    }
    return n;
}

ref min_samples_for(Py_ssize_t n) { return from_long(n / 100 > 50 ? n / 100 : 50); }

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
    ref result = call(getattr(np.get(), "full_like"), labels, from_long(-1));
    const Py_ssize_t k = length_of(order);
    for (Py_ssize_t rank = 0; rank < k; ++rank) {
        ref position = steal(PySequence_GetItem(order, rank));
        ref label = steal(PyObject_GetItem(valid_labels, position.get()));
        ref members = steal(PyObject_RichCompare(labels, label.get(), Py_EQ));
        check(PyObject_SetItem(result.get(), members.get(), from_long(rank).get()));
    }
    return result;
}

ref dbscan_cpu(PyObject* self, module_state& st, PyObject* pixels) {
    const int n_colors = as_extractor(self)->n_colors;
    ref np = global(st, st.n.np);
    ref scaler = call(global(st, st.n.StandardScaler));
    ref pixels_scaled = call_method(scaler.get(), "fit_transform", pixels);
    ref dbscan = call_kw(global(st, st.n.DBSCAN).get(), {},
                         {{kw("eps").get(), from_double(0.5).get()},
                          {kw("min_samples").get(), min_samples_for(length_of(pixels)).get()}});
    ref labels = call_method(dbscan.get(), "fit_predict", pixels_scaled);
    ref unique_labels = call(getattr(np.get(), "unique"), labels);

    ref centres = steal(PyList_New(0));
    ref valid = steal(PyList_New(0));
    ref iter = steal(PyObject_GetIter(unique_labels.get()));
    while (PyObject* item = PyIter_Next(iter.get())) {
        ref label = steal(item);
        if (is_noise(label.get())) {
            continue;
        }
        ref members = steal(PyObject_RichCompare(labels.get(), label.get(), Py_EQ));
        ref cluster_pixels = steal(PyObject_GetItem(pixels, members.get()));
        ref centre = call_kw(getattr(np.get(), "mean").get(), {cluster_pixels.get()},
                             {{kw("axis").get(), from_long(0).get()}});
        check(PyList_Append(centres.get(), centre.get()));
        check(PyList_Append(valid.get(), label.get()));
    }
    if (PyErr_Occurred()) {
        throw python_error();
    }
    ref colors = call(getattr(np.get(), "array"), centres);
    const Py_ssize_t found = length_of(colors.get());
    if (found <= n_colors) {
        return make_tuple({colors.get(), labels.get()});
    }
    ref sizes = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < found; ++i) {
        ref label = steal(PySequence_GetItem(valid.get(), i));
        ref members = steal(PyObject_RichCompare(labels.get(), label.get(), Py_EQ));
        check(PyList_Append(sizes.get(), call(getattr(np.get(), "sum"), members).get()));
    }
    ref ascending = call(getattr(np.get(), "argsort"), sizes);
    ref reverse = steal(PySlice_New(nullptr, nullptr, from_long(-1).get()));
    ref order = steal(PyObject_GetItem(ascending.get(), reverse.get()));
    ref cut = steal(PySlice_New(nullptr, from_long(n_colors).get(), nullptr));
    ref sorted_indices = steal(PyObject_GetItem(order.get(), cut.get()));
    ref kept = steal(PyObject_GetItem(colors.get(), sorted_indices.get()));
    ref valid_array = call(getattr(np.get(), "array"), valid);
    return make_tuple({kept.get(), relabel(st, labels.get(), valid_array.get(), order.get()).get()});
}

#ifndef HUESIFT_CPU_ONLY
ref dbscan_gpu(module_state& st, PyObject* pixels) {
    ref np = global(st, st.n.np);
    ref cp = global(st, st.n.cp);
    ref device_array = getattr(cp.get(), "ndarray");
    const int is_device = PyObject_IsInstance(pixels, device_array.get());
    check(is_device);
    ref pixels_gpu = is_device ? borrow(pixels) : call(getattr(cp.get(), "asarray"), pixels);
    ref axis0 = from_long(0);
    ref mean = call_kw(getattr(cp.get(), "mean").get(), {pixels_gpu.get()},
                       {{kw("axis").get(), axis0.get()}});
    ref std = call_kw(getattr(cp.get(), "std").get(), {pixels_gpu.get()},
                      {{kw("axis").get(), axis0.get()}});
    ref centred = steal(PyNumber_Subtract(pixels_gpu.get(), mean.get()));
    ref spread = steal(PyNumber_Add(std.get(), from_double(1e-8).get()));
    ref pixels_scaled = steal(PyNumber_TrueDivide(centred.get(), spread.get()));
    ref dbscan = call_kw(global(st, st.n.DBSCANGPU).get(), {},
                         {{kw("eps").get(), from_double(0.5).get()},
                          {kw("min_samples").get(), min_samples_for(length_of(pixels)).get()}});
    ref labels = call_method(dbscan.get(), "fit_predict", pixels_scaled);
    ref unique_labels = call(getattr(cp.get(), "unique"), labels);
    ref asnumpy = getattr(cp.get(), "asnumpy");
    ref host_labels = call(asnumpy, unique_labels);
    ref centres = steal(PyList_New(0));
    ref iter = steal(PyObject_GetIter(host_labels.get()));
    while (PyObject* item = PyIter_Next(iter.get())) {
        ref label = steal(item);
        if (is_noise(label.get())) {
            continue;
        }
        ref members = steal(PyObject_RichCompare(labels.get(), label.get(), Py_EQ));
        ref cluster_pixels = steal(PyObject_GetItem(pixels_gpu.get(), members.get()));
        ref centre = call_kw(getattr(cp.get(), "mean").get(), {cluster_pixels.get()},
                             {{kw("axis").get(), axis0.get()}});
        check(PyList_Append(centres.get(), call(asnumpy, centre).get()));
    }
    if (PyErr_Occurred()) {
        throw python_error();
    }
    ref array = getattr(np.get(), "array");
    ref colors = PyList_GET_SIZE(centres.get()) ? call(array, centres)
                                                 : call(array, steal(PyList_New(0)));
    return make_tuple({colors.get(), call(asnumpy, labels).get()});
}
#endif

}  // namespace

ref cluster_dbscan(PyObject* self, module_state& st, PyObject* pixels) {
#ifndef HUESIFT_CPU_ONLY
    if (as_extractor(self)->use_gpu_compute) {
        return dbscan_gpu(st, pixels);
    }
#endif
    return dbscan_cpu(self, st, pixels);
}

namespace {

constexpr const char* pixels_params[] = {"pixels"};
constexpr signature dbscan_sig{"_cluster_colors_dbscan", pixels_params, 1, 1};

}  // namespace

HUESIFT_METHOD(py_cluster_colors_dbscan) {
    return guarded([&] {
        PyObject* v[1];
        parse_fastcall(dbscan_sig, args, nargs, kwnames, v);
        check_array_arg(v[0], "pixels");
        return cluster_dbscan(self, state_of(self), v[0]);
    });
}

}  // namespace huesift
