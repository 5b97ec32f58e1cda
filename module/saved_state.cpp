// Saved state: pickling through __reduce__ and __setstate__, and the module-level function that
// restores a pickled extractor. The fields are saved in the order of their rows' places.
#include "saved_state.hpp"

#include "args.hpp"
#include "color_extractor.hpp"

#include <cstdio>
#include <string>

namespace huesift {

namespace {

constexpr Py_ssize_t saved_count = static_cast<Py_ssize_t>(field_count);

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

// A field's entry, converted by the field's kind.
argument state_entry(PyObject* state, Py_ssize_t index, kind type) {
    argument out;
    switch (type) {
        case kind::integer: out.integer = to_c_int(state_item(state, index).get()); break;
        case kind::number: out.number = to_c_double(state_item(state, index).get()); break;
        case kind::truth: out.truth = truth(state_item(state, index).get()); break;
        default: out.object = text_entry(state, index); break;
    }
    return out;
}

// Assigns each field as soon as its entry is read, so a failure leaves the earlier ones set.
void apply_state(PyObject* self, PyObject* state) {
    if (state == Py_None) {
        raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    }
    for (Py_ssize_t i = 0; i < saved_count; ++i) {
        const field_row& row = *saved_fields[static_cast<std::size_t>(i)];
        set_field(self, row, state_entry(state, i, row.param.type));
    }
    if (PyTuple_GET_SIZE(state) > saved_count) {
        PyObject* dict = PyObject_GetAttrString(self, "__dict__");
        if (dict == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw python_error();
            }
            PyErr_Clear();
            return;
        }
        ref owned = steal(dict);
        call_method(owned.get(), "update", state_item(state, saved_count));
    }
}

constexpr const char* setstate_params[] = {"state"};
constexpr signature setstate_sig{"__setstate__", setstate_params, 1, 1};

}  // namespace

PyObject* py_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        module_state& st = state_of(self);
        ref state = steal(PyTuple_New(saved_count));
        // Without a __dict__, the state goes through __setstate__ when any object field is set.
        bool use_setstate = false;
        for (Py_ssize_t i = 0; i < saved_count; ++i) {
            const field_row& row = *saved_fields[static_cast<std::size_t>(i)];
            ref value = field_value(self, row);
            use_setstate =
                use_setstate || (row.param.type == kind::str_or_none && !value.is_none());
            PyTuple_SET_ITEM(state.get(), i, value.release());  // steals the reference
        }
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
        }
        ref restore = global(st, st.n.unpickle);
        ref checksum = from_long(st.checksums[0]);
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
        for (long long candidate : st.checksums) {
            accepted = accepted || candidate == checksum;
        }
        if (!accepted) {
            ref pickle = steal(PyImport_ImportModule("pickle"));
            ref error = getattr(pickle.get(), "PickleError");
            ref message =
                steal(PyUnicode_FromFormat("Incompatible checksums (0x%s vs %s)",
                                           hex_text(checksum).c_str(), st.checksums_text.c_str()));
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

void compute_checksums(module_state& st) {
    std::string names;
    std::string listed;
    for (const field_row* row : saved_fields) {
        names += names.empty() ? "" : " ";
        names += row->name;
        listed += listed.empty() ? "" : ", ";
        listed += row->name;
    }
    ref hashlib = steal(PyImport_ImportModule("hashlib"));
    ref data =
        steal(PyBytes_FromStringAndSize(names.data(), static_cast<Py_ssize_t>(names.size())));
    std::string digits;
    for (const char* algorithm : {"sha256", "sha1", "md5"}) {
        ref hash;
        try {
            hash = call_kw(getattr(hashlib.get(), algorithm), {data.get()},
                           {{"usedforsecurity", borrow(Py_False)}});
        } catch (const python_error&) {
            // An algorithm this Python lacks or refuses adds no checksum, as the format says.
            if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw;
            }
            PyErr_Clear();
            continue;
        }
        ref hex = call_method(hash.get(), "hexdigest");
        const char* text = PyUnicode_AsUTF8(hex.get());
        if (text == nullptr) {
            throw python_error();
        }
        const std::string first(text, 7);
        st.checksums.push_back(std::stoll(first, nullptr, 16));
        digits += digits.empty() ? "0x" : ", 0x";
        digits += first;
    }
    st.checksums_text = "(" + digits + ") = (" + listed + ")";
}

}  // namespace huesift
