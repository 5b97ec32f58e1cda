// Saved state: pickling through __reduce__ and __setstate__, and the module-level function that
// restores a pickled extractor.
#include "saved_state.hpp"

#include "args.hpp"
#include "color_extractor.hpp"

#include <cstdio>
#include <string>

namespace huesift {

namespace {

#ifndef HUESIFT_CPU_ONLY
constexpr long long checksum_written = 0xf3713aa;
constexpr long long checksums_accepted[] = {0xf3713aa, 0x5a43bad, 0x8fee90d};
constexpr const char* checksum_message =
    "Incompatible checksums (0x%s vs (0xf3713aa, 0x5a43bad, 0x8fee90d) = (algorithm, device, "
    "lab_space, n_colors, preprocessing, use_gpu_compute, use_gpu_param))";
constexpr Py_ssize_t field_count = 7;
#else
constexpr long long checksum_written = 0x95a985b;
constexpr long long checksums_accepted[] = {0x95a985b, 0x5abda51, 0x3daa32e};
constexpr const char* checksum_message =
    "Incompatible checksums (0x%s vs (0x95a985b, 0x5abda51, 0x3daa32e) = (algorithm, "
    "lab_space, n_colors, preprocessing))";
constexpr Py_ssize_t field_count = 4;
#endif

// Python's "%x" of a signed value: lower-case digits, a sign for negatives, no prefix.
std::string hex_text(long long value) {
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%llx", value < 0 ? "-" : "", magnitude);
    return buffer;
}

ref state_item(PyObject* state, Py_ssize_t index) {
    if (index >= PyTuple_GET_SIZE(state)) {
        raise(PyExc_IndexError, "tuple index out of range");
    }
    return borrow(PyTuple_GET_ITEM(state, index));
}

ref text_entry(PyObject* state, Py_ssize_t index) {
    ref value = state_item(state, index);
    check_exact_result(value.get(), &PyUnicode_Type);
    return value;
}

// Assigns each field as soon as its entry is read, so a failure leaves the earlier ones set.
void apply_state(PyObject* self, PyObject* state) {
    if (state == Py_None) {
        raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    }
    extractor_object* obj = as_extractor(self);
    obj->algorithm = text_entry(state, 0);
#ifndef HUESIFT_CPU_ONLY
    obj->device = text_entry(state, 1);
    obj->lab_space = truth(state_item(state, 2).get());
    obj->n_colors = to_c_int(state_item(state, 3).get());
    obj->preprocessing = truth(state_item(state, 4).get());
    obj->use_gpu_compute = truth(state_item(state, 5).get());
    obj->use_gpu_param = text_entry(state, 6);
#else
    obj->lab_space = truth(state_item(state, 1).get());
    obj->n_colors = to_c_int(state_item(state, 2).get());
    obj->preprocessing = truth(state_item(state, 3).get());
#endif
    if (PyTuple_GET_SIZE(state) > field_count) {
        PyObject* dict = PyObject_GetAttrString(self, "__dict__");
        if (dict == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw python_error();
            }
            PyErr_Clear();
            return;
        }
        ref owned = steal(dict);
        call_method(owned.get(), "update", state_item(state, field_count));
    }
}

ref bool_ref(bool value) { return borrow(value ? Py_True : Py_False); }

constexpr const char* setstate_params[] = {"state"};
constexpr signature setstate_sig{"__setstate__", setstate_params, 1, 1};

}  // namespace

PyObject* py_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        module_state& st = state_of(self);
        extractor_object* obj = as_extractor(self);
        ref n_colors = from_long(obj->n_colors);
#ifndef HUESIFT_CPU_ONLY
        ref state =
            make_tuple({obj->algorithm.get(), obj->device.get(), bool_ref(obj->lab_space).get(),
                        n_colors.get(), bool_ref(obj->preprocessing).get(),
                        bool_ref(obj->use_gpu_compute).get(), obj->use_gpu_param.get()});
#else
        ref state = make_tuple({obj->algorithm.get(), bool_ref(obj->lab_space).get(),
                                n_colors.get(), bool_ref(obj->preprocessing).get()});
#endif
        bool use_setstate = false;
        PyObject* dict = PyObject_GetAttrString(self, "__dict__");
        if (dict == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw python_error();
            }
            PyErr_Clear();
        }
        ref owned_dict = dict ? steal(dict) : ref();
        if (owned_dict && !owned_dict.is_none()) {
            ref extra = make_tuple({owned_dict.get()});
            state = steal(PySequence_Concat(state.get(), extra.get()));
            use_setstate = true;
        } else {
            use_setstate = !obj->algorithm.is_none();
#ifndef HUESIFT_CPU_ONLY
            use_setstate = use_setstate || !obj->device.is_none() || !obj->use_gpu_param.is_none();
#endif
        }
        ref restore = global(st, st.n.unpickle);
        ref checksum = from_long(checksum_written);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        if (use_setstate) {
            ref restore_args = make_tuple({type, checksum.get(), Py_None});
            return make_tuple({restore.get(), restore_args.get(), state.get()});
        }
        ref restore_args = make_tuple({type, checksum.get(), state.get()});
        return make_tuple({restore.get(), restore_args.get()});
    });
}

PyObject* py_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* values[1];
        parse_fastcall(setstate_sig, args, nargs, kwnames, values);
        check_exact_result(values[0], &PyTuple_Type);
        apply_state(self, values[0]);
        return none();
    });
}

// ---- the restore function ---------------------------------------------------------------

constexpr const char* unpickle_params[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};
constexpr signature unpickle_sig{"__pyx_unpickle_ColorExtractor", unpickle_params, 3, 3};

PyObject* py_unpickle(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return guarded([&] {
        module_state& st = module_state_of(module);
        PyObject* values[3];
        parse_fastcall(unpickle_sig, args, nargs, kwnames, values);
        const long long checksum = to_c_longlong(values[1]);
        bool accepted = false;
        for (long long candidate : checksums_accepted) {
            accepted = accepted || candidate == checksum;
        }
        if (!accepted) {
            ref pickle = steal(PyImport_ImportModule("pickle"));
            ref error = getattr(pickle.get(), "PickleError");
            ref message = steal(PyUnicode_FromFormat(checksum_message, hex_text(checksum).c_str()));
            PyErr_SetObject(error.get(), message.get());
            throw python_error();
        }
        // ColorExtractor.__new__ refuses anything that is not a subtype of the class.
        ref result = call_method(st.type.get(), "__new__", values[0]);
        if (values[2] != Py_None) {
            check_exact_result(values[2], &PyTuple_Type);
            apply_state(result.get(), values[2]);
        }
        return result;
    });
}

}  // namespace huesift
