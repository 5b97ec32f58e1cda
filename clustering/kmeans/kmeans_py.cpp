// K-means clustering as a ColorExtractor step.
#include "kmeans.hpp"

#include "clustering/counted_py.hpp"

#include "module/color_extractor.hpp"
#include "module/methods.hpp"
#include "preparation/arrays_py.hpp"

#define NO_IMPORT_ARRAY
#include "module/numpy_api.hpp"

#include <cstdio>
#include <utility>

namespace huesift {

namespace {

bool on_gpu(PyObject* self) {
#ifndef HUESIFT_CPU_ONLY
    return as_extractor(self)->use_gpu_compute;
#else
    (void)self;
    return false;
#endif
}

// The native k-means stands in for KMeans(...).fit_predict where the call may take it, for
// as many clusters and rows as it takes.
bool native_kmeans_applies(call_context& ctx, PyObject* pixels, int n_colors, Py_ssize_t n) {
    return clustering::kmeans_accepts(n_colors, static_cast<std::size_t>(n)) &&
           ctx.gate.allows(native_path::kmeans, pixels);
}

// What KMeans(n_clusters=n_colors, random_state=42, n_init=10).fit_predict(pixels) gives:
// (cluster_centers_, labels_), with its warning. An empty ref when the fit is undecided:
// scikit-learn's own call then gives the answer. With `counts`, each label's pixel count goes
// there, summed over the colours, and the pixels are not labelled: the pair holds None.
ref kmeans_native(module_state& st, PyObject* pixels, int n_colors,
                  std::vector<std::int64_t>* counts) {
    constexpr int runs = 10;
    // RandomState.choice(n, p=...) takes one random_sample and uniform(size=t) is
    // 0 + 1 * random_sample: every run's draws are one stretch of the same stream.
    ref random_state = call(getattr(np_attr(st, "random").get(), "RandomState"), from_long(42));
    const std::size_t needed = clustering::draws_needed(n_colors, runs);
    ref draws =
        call_method(random_state.get(), "random_sample", from_long(static_cast<long long>(needed)));
    auto* draw_arr = reinterpret_cast<PyArrayObject*>(draws.get());
    if (!PyArray_Check(draws.get()) || PyArray_TYPE(draw_arr) != NPY_DOUBLE ||
        !PyArray_IS_C_CONTIGUOUS(draw_arr) ||
        PyArray_SIZE(draw_arr) != static_cast<npy_intp>(needed)) {
        return {};
    }
    // Each pixel's colour number is kept where its label will go, then overwritten by it.
    npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(pixels), 0);
    ref labels = steal(PyArray_SimpleNew(1, &n, NPY_INT32));
    auto* index =
        static_cast<std::uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(labels.get())));
    const unsigned threads = native_threads(st);
    const preparation::distinct_rows colours = distinct_rows_of(pixels, threads, index);
    const clustering::kmeans_input in{colours.values.data(),
                                      colours.counts.data(),
                                      colours.values.size(),
                                      index,
                                      colours.rows,
                                      n_colors,
                                      runs,
                                      300,
                                      1e-4,
                                      static_cast<const double*>(PyArray_DATA(draw_arr)),
                                      threads};
    clustering::kmeans_result fit;
    {
        gil_release nogil;
        fit = clustering::kmeans_fit(in);
        if (!fit.undecided && counts != nullptr) {
            counts->assign(static_cast<std::size_t>(n_colors), 0);
            for (std::size_t c = 0; c < colours.values.size(); ++c) {
                (*counts)[static_cast<std::size_t>(fit.labels[c])] += colours.counts[c];
            }
        } else if (!fit.undecided) {
            clustering::label_pixels(fit.labels, index, colours.rows, in.threads);
        }
    }
    if (fit.undecided) {
        return {};
    }
    npy_intp dims[2] = {n_colors, 3};
    ref centres = steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    std::copy(fit.centres.begin(), fit.centres.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(centres.get()))));
    if (fit.distinct_clusters < n_colors) {
        ref category =
            getattr(steal(PyImport_ImportModule("sklearn.exceptions")).get(), "ConvergenceWarning");
        char message[160];
        std::snprintf(message, sizeof message,
                      "Number of distinct clusters (%d) found smaller than n_clusters (%d). "
                      "Possibly due to duplicate points in X.",
                      fit.distinct_clusters, n_colors);
        check(PyErr_WarnEx(category.get(), message, 1));
    }
    return make_tuple({centres.get(), counts != nullptr ? Py_None : labels.get()});
}

}  // namespace

ref cluster_kmeans(call_context& ctx, PyObject* pixels) {
    return cluster_kmeans_counting(ctx, pixels, nullptr);
}

ref cluster_kmeans_counting(call_context& ctx, PyObject* pixels,
                            std::vector<std::int64_t>* counts) {
    module_state& st = ctx.st;
    const int n_colors = as_extractor(ctx.self)->n_colors;
    const Py_ssize_t n = length(pixels);
    const bool gpu = on_gpu(ctx.self);
    if (n < n_colors) {
        // Each distinct colour is a cluster of its own. Every pixel row is labelled with its
        // colour's index, so the shares count pixels rather than giving each colour 1/u.
        ref xp = global(st, gpu ? st.n.cp : st.n.np);
        ref flat = call_method(pixels, "reshape", from_long(-1), from_long(3));
        ref found = call_kw(xp.attr("unique"), {flat.get()},
                            {{"axis", from_long(0)}, {"return_inverse", borrow(Py_True)}});
        auto [unique_colors, inverse] = unpack_pair(found.get());
        // Some NumPy 2.0 releases keep a trailing axis on the inverse.
        ref labels = call_method(inverse.get(), "reshape", from_long(-1));
        if (gpu) {
            ref asnumpy = xp.attr("asnumpy");
            return make_tuple({call(asnumpy, unique_colors).get(), call(asnumpy, labels).get()});
        }
        return make_tuple({unique_colors.get(), labels.get()});
    }
    ref n_clusters = from_long(n_colors);
    ref seed = from_long(42);
    if (gpu) {
        ref cp = global(st, st.n.cp);
        ref pixels_gpu = cp.attr("asarray")(pixels);
        ref kmeans = call_kw(
            global(st, st.n.KMeansGPU).get(), {},
            {{"n_clusters", n_clusters}, {"random_state", seed}, {"max_iter", from_long(100)}});
        ref labels = call_method(kmeans.get(), "fit_predict", pixels_gpu);
        ref colors = kmeans.attr("cluster_centers_");
        ref asnumpy = cp.attr("asnumpy");
        return make_tuple({call(asnumpy, colors).get(), call(asnumpy, labels).get()});
    }
    if (native_kmeans_applies(ctx, pixels, n_colors, n)) {
        if (ref found = kmeans_native(st, pixels, n_colors, counts)) {
            return found;
        }
    }
    ref kmeans =
        call_kw(global(st, st.n.KMeans).get(), {},
                {{"n_clusters", n_clusters}, {"random_state", seed}, {"n_init", from_long(10)}});
    ref labels = call_method(kmeans.get(), "fit_predict", pixels);
    ref colors = kmeans.attr("cluster_centers_");
    return make_tuple({colors.get(), labels.get()});
}

}  // namespace huesift
