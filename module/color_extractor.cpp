// The ColorExtractor class, in the order of its life: its fields by their rows, allocation and
// release, the constructor with its device decision, the saved state and the restore function,
// then the type made from the method table.
#include "color_extractor.hpp"

#include "methods.hpp"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace huesift {

namespace {

// ---- the fields -------------------------------------------------------------------------

void* field_at(PyObject* self, const field_row& row) {
    return reinterpret_cast<char*>(self) + row.offset;
}

const kind_traits& row_traits(const field_row& row) { return traits_of(row.param.type); }

// A field's value as Python sees it: an int, a float, a bool, or a str or None.
ref field_value(PyObject* self, const field_row& row) {
    return row_traits(row).load(field_at(self, row));
}

// Sets a field from an argument taken by the field's kind.
void set_field(PyObject* self, const field_row& row, const argument& value) {
    row_traits(row).store(field_at(self, row), value);
}

}  // namespace

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    for (const field_row& row : field_rows) {
        row_traits(row).init(field_at(self, row));
    }
    return self;
}

void extractor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    for (const field_row& row : field_rows) {
        row_traits(row).release(field_at(self, row));
    }
    type->tp_free(self);
    Py_DECREF(type);
}

namespace {

// ---- the device -------------------------------------------------------------------------

#ifndef HUESIFT_CPU_ONLY

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

// The constructor's device decision from its use_gpu argument; GPU_AVAILABLE and
// get_compute_device are read from the module at each construction.
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

// get_compute_device in its two forms; both read GPU_AVAILABLE from the module at each call.
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

#endif

// ---- the constructor --------------------------------------------------------------------

// The fields the constructor's parameters set, in their order.
std::vector<const field_row*> parameter_fields() {
    std::vector<const field_row*> out;
    for (const field_row& row : field_rows) {
        if (row.param.name != nullptr) {
            out.push_back(&row);
        }
    }
    return out;
}

struct init_signature {
    std::vector<const field_row*> fields;
    std::vector<const char*> names;
    signature sig;
};

const init_signature& init_params() {
    static const init_signature all = [] {
        init_signature out{parameter_fields(), {}, {}};
        for (const field_row* row : out.fields) {
            out.names.push_back(row->param.name);
        }
        out.sig = {"__init__", out.names.data(), static_cast<int>(out.names.size()), 0};
        return out;
    }();
    return all;
}

bool converted(kind type) {
    return type == kind::integer || type == kind::number || type == kind::truth;
}

int extractor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_int([&] {
        const init_signature& init = init_params();
        const std::size_t count = init.fields.size();
        PyObject* given[field_count] = {};
        parse_tuple(init.sig, args, kwargs, given);
        // Numbers and truth values are converted as the arguments are unpacked, then the text
        // arguments' types are checked; no field changes until all have passed.
        argument values[field_count];
        for (bool first : {true, false}) {
            for (std::size_t i = 0; i < count; ++i) {
                if (converted(init.fields[i]->param.type) == first) {
                    values[i] = take_argument(init.fields[i]->param, given[i]);
                }
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            set_field(self, *init.fields[i], values[i]);
        }
#ifndef HUESIFT_CPU_ONLY
        decide_device(self, state_of(self), as_extractor(self)->use_gpu_param.get());
#endif
    });
}

// The same constructor published as a method, so that it carries its own documentation.
PyObject* py_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (extractor_init(self, args, kwargs) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* init_doc() {
    static const std::string doc = [] {
        std::string signature = "__init__($self, /";
        std::string lines;
        for (const field_row* row : init_params().fields) {
            signature += std::string(", ") + row->param.name + "=" + row->param.default_text;
            lines += std::string("    ") + row->param.name + ": " + row->doc + "\n";
        }
        return signature + ")\n--\n\n" HUESIFT_INIT_DOC "\n\nArgs:\n" + lines;
    }();
    return doc.c_str();
}

// ---- the saved state --------------------------------------------------------------------
// __reduce__ and __setstate__, and the module-level function that restores a pickled
// extractor. The fields are saved in the order of their rows' places.

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

// Assigns each field as soon as its entry is read, so a failure leaves the earlier ones set.
void apply_state(PyObject* self, PyObject* state) {
    if (state == Py_None) {
        raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    }
    for (Py_ssize_t i = 0; i < saved_count; ++i) {
        const field_row& row = *saved_fields[static_cast<std::size_t>(i)];
        argument value;
        row_traits(row).take_entry(state_item(state, i).get(), value);
        set_field(self, row, value);
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

// ---- the type ---------------------------------------------------------------------------

// The constructor, the table's methods, then the object protocol.
std::vector<PyMethodDef>& extractor_methods() {
    static std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> out;
        out.push_back({"__init__", as_method(py_init), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
                       init_doc()});
        const std::vector<PyMethodDef>& table = table_methods();
        out.insert(out.end(), table.begin(), table.end());
        out.push_back({"__reduce__", py_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"});
        out.push_back({"__setstate__", as_method(py_setstate), METH_FASTCALL | METH_KEYWORDS,
                       "__setstate__($self, /, state)\n--\n\n"});
        out.push_back({nullptr, nullptr, 0, nullptr});
        return out;
    }();
    return defs;
}

PyType_Slot extractor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(extractor_new)},
    {Py_tp_init, reinterpret_cast<void*>(extractor_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(extractor_dealloc)},
    {Py_tp_methods, nullptr},  // the tables', set before the type is made
    {0, nullptr},
};

#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned int immutable_flag = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int immutable_flag = 0;
#endif

PyType_Spec extractor_spec = {
    "vantrel_huesift.tintmill.ColorExtractor",
    static_cast<int>(sizeof(extractor_object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | immutable_flag,
    extractor_slots,
};

}  // namespace

ref create_extractor_type(PyObject* module) {
    std::vector<PyMethodDef>& methods = extractor_methods();
    for (PyType_Slot& slot : extractor_slots) {
        if (slot.slot == Py_tp_methods) {
            slot.pfunc = methods.data();
        }
    }
    module_state& st = module_state_of(module);
    st.own_methods = methods.data() + 1;  // the table's, after __init__
    st.own_distance = st.own_methods + static_cast<std::size_t>(method::_color_distance_lab);
    return steal(PyType_FromModuleAndSpec(module, &extractor_spec, nullptr));
}

PyMethodDef& unpickle_method() {
    static PyMethodDef def = {
        "__pyx_unpickle_ColorExtractor", as_method(py_unpickle), METH_FASTCALL | METH_KEYWORDS,
        "__pyx_unpickle_ColorExtractor(__pyx_type, __pyx_checksum, __pyx_state)\n--\n\n"};
    return def;
}

#ifndef HUESIFT_CPU_ONLY
PyMethodDef& compute_device_method(bool gpu) {
    static PyMethodDef gpu_form = {"get_compute_device", as_method(py_get_compute_device_gpu),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "get_compute_device(mode)\n--\n\n"};
    static PyMethodDef cpu_form = {"get_compute_device", as_method(py_get_compute_device_cpu),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "get_compute_device(mode)\n--\n\n"};
    return gpu ? gpu_form : cpu_form;
}
#endif

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

ref saved_field_names() {
    ref names = steal(PyTuple_New(saved_count));
    for (Py_ssize_t i = 0; i < saved_count; ++i) {
        const std::string_view name = saved_fields[static_cast<std::size_t>(i)]->name;
        PyTuple_SET_ITEM(
            names.get(), i,  // steals the new reference
            steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
                .release());
    }
    return names;
}

}  // namespace huesift
