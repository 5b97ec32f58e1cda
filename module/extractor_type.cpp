// The ColorExtractor type: the constructor and its documentation from the fields table, the
// methods from the method table, and the type's slots.
#include "color_extractor.hpp"
#include "device.hpp"
#include "module_state.hpp"
#include "saved_state.hpp"
#include "step_dispatch.hpp"

#include <string>
#include <vector>

namespace huesift {

namespace {

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

// ---- the type ---------------------------------------------------------------------------

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The constructor, the table's methods, then the object protocol.
std::vector<PyMethodDef>& extractor_methods() {
    static std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> out;
        out.push_back({"__init__", FASTCALL(py_init), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
                       init_doc()});
        const std::vector<PyMethodDef>& table = table_methods();
        out.insert(out.end(), table.begin(), table.end());
        out.push_back({"__reduce__", reinterpret_cast<PyCFunction>(py_reduce), METH_NOARGS,
                       "__reduce__($self, /)\n--\n\n"});
        out.push_back({"__setstate__", FASTCALL(py_setstate), METH_FASTCALL | METH_KEYWORDS,
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
    module_state_of(module).own_methods = methods.data() + 1;  // the table's, after __init__
    return steal(PyType_FromModuleAndSpec(module, &extractor_spec, nullptr));
}

}  // namespace huesift
