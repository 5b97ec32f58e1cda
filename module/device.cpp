// The device decision of the constructor, and get_compute_device in its two forms; both read
// GPU_AVAILABLE from the module at each call.
#include "device.hpp"

#include "args.hpp"
#include "color_extractor.hpp"

#ifndef HUESIFT_CPU_ONLY

namespace huesift {

namespace {

constexpr const char* device_params[] = {"mode"};
constexpr signature device_sig{"get_compute_device", device_params, 1, 1};

PyObject* parse_mode(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[1];
    parse_fastcall(device_sig, args, nargs, kwnames, values);
    return values[0];
}

// Attaches `cause` as the context of the error now raised, as raising inside `except` does.
[[noreturn]] void rethrow_in_handler(const ref& cause) {
    ref raised = take_exception();
    if (!raised.is(cause.get())) {
        Py_INCREF(cause.get());
        PyException_SetContext(raised.get(), cause.get());  // steals the new reference
    }
    raise_again(std::move(raised));
}

}  // namespace

void decide_device(PyObject* self, module_state& st, PyObject* use_gpu) {
    extractor_object* obj = as_extractor(self);
    const bool gpu = truth(global(st, st.n.GPU_AVAILABLE).get());
    if (gpu && !equals(use_gpu, "never")) {
        try {
            ref device = call(global(st, st.n.get_compute_device), use_gpu);
            check_exact_result(device.get(), &PyUnicode_Type);
            obj->device = device;
            obj->use_gpu_compute = !equals(device.get(), "cpu");
            return;
        } catch (const python_error&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
        }
        ref cause = take_exception();
        try {
            ref text = steal(PyObject_Str(cause.get()));
            if (equals(use_gpu, "force")) {
                PyErr_Format(PyExc_RuntimeError, "GPU forced but not available: %U", text.get());
                throw python_error();
            }
            ref message = steal(
                PyUnicode_FromFormat("GPU not available, falling back to CPU: %U", text.get()));
            ref warn = getattr(global(st, st.n.warnings).get(), "warn");
            call(warn, message);
        } catch (const python_error&) {
            rethrow_in_handler(cause);
        }
        obj->use_gpu_compute = false;
        obj->device = from_str("cpu");
        return;
    }
    obj->use_gpu_compute = false;
    obj->device = from_str("cpu");
}
PyObject* py_get_compute_device_gpu(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] {
        PyObject* mode = parse_mode(args, nargs, kwnames);
        if (equals(mode, "never")) {
            return from_str("cpu");
        }
        module_state& st = module_state_of(module);
        const bool available = truth(global(st, st.n.GPU_AVAILABLE).get());
        if (equals(mode, "force") && !available) {
            raise(PyExc_RuntimeError, "GPU forced but not available");
        }
        return from_str(available ? "cuda" : "cpu");
    });
}

PyObject* py_get_compute_device_cpu(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] {
        PyObject* mode = parse_mode(args, nargs, kwnames);
        if (equals(mode, "force")) {
            raise(PyExc_RuntimeError, "GPU forced but not available");
        }
        return from_str("cpu");
    });
}

}  // namespace huesift

#endif
