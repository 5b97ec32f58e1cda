// get_compute_device in its two forms; both read GPU_AVAILABLE from the module at each call.
#include "color_extractor.hpp"

#ifndef HUESIFT_CPU_ONLY

namespace huesift {

namespace {

constexpr const char* device_params[] = {"mode"};
constexpr signature device_sig{"get_compute_device", device_params, 1, 1};

bool mode_is(PyObject* mode, const char* keyword) {
    ref text = from_str(keyword);
    int rc = PyObject_RichCompareBool(mode, text.get(), Py_EQ);
    check(rc);
    return rc != 0;
}

PyObject* parse_mode(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[1];
    parse_fastcall(device_sig, args, nargs, kwnames, values);
    return values[0];
}

}  // namespace

PyObject* py_get_compute_device_gpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] {
        PyObject* mode = parse_mode(args, nargs, kwnames);
        if (mode_is(mode, "never")) {
            return from_str("cpu");
        }
        auto& st = *static_cast<module_state*>(PyModule_GetState(module));
        const bool available = truth(global(st, st.n.GPU_AVAILABLE).get());
        if (mode_is(mode, "force") && !available) {
            raise(PyExc_RuntimeError, "GPU forced but not available");
        }
        return from_str(available ? "cuda" : "cpu");
    });
}

PyObject* py_get_compute_device_cpu(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] {
        PyObject* mode = parse_mode(args, nargs, kwnames);
        if (mode_is(mode, "force")) {
            raise(PyExc_RuntimeError, "GPU forced but not available");
        }
        return from_str("cpu");
    });
}

}  // namespace huesift

#endif
