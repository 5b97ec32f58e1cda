// The table's rows made into methods: their parameters, entries from Python, and the dispatch
// of the class's own calls.
#include "step_dispatch.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace huesift {

namespace {

struct method_row {
    const char* name;
    ref (*impl)(PyObject* self, module_state& st, PyObject* const* args);
    const char* params;
    const char* doc;
    step slot;
    result_kind result;
};

constexpr method_row method_rows[] = {
#define HUESIFT_METHOD_ROW(name, impl, params, doc, slot, result) \
    {#name, impl, params, doc, step::slot, result_kind::result},
    HUESIFT_METHODS(HUESIFT_METHOD_ROW)
#undef HUESIFT_METHOD_ROW
};
constexpr std::size_t method_count = std::size(method_rows);
constexpr int most_params = 4;

constexpr bool rows_fit() {
    for (const method_row& row : method_rows) {
        int count = 1;
        for (const char* c = row.params; *c != '\0'; ++c) {
            count += *c == ',';
        }
        if (count > most_params) {
            return false;
        }
    }
    return true;
}
static_assert(rows_fit(), "a method takes more parameters than most_params");

// Each row's parameters for the parser: the names of its text signature, and how many come
// before the first default. Built once, before the type exists.
struct parsed_params {
    std::vector<std::string> names;
    std::vector<const char*> pointers;
    signature sig;
};

const std::vector<parsed_params>& row_params() {
    static const std::vector<parsed_params> all = [] {
        std::vector<parsed_params> out(method_count);
        for (std::size_t i = 0; i < method_count; ++i) {
            parsed_params& p = out[i];
            int required = -1;
            std::string text = method_rows[i].params;
            for (std::size_t start = 0; start <= text.size();) {
                std::size_t end = text.find(", ", start);
                end = end == std::string::npos ? text.size() : end;
                std::string param = text.substr(start, end - start);
                const std::size_t equals = param.find('=');
                if (equals != std::string::npos && required < 0) {
                    required = static_cast<int>(p.names.size());
                }
                p.names.push_back(param.substr(0, equals));
                start = end + 2;
            }
            for (const std::string& name : p.names) {
                p.pointers.push_back(name.c_str());
            }
            const int count = static_cast<int>(p.names.size());
            p.sig = {method_rows[i].name, p.pointers.data(), count,
                     required < 0 ? count : required};
        }
        return out;
    }();
    return all;
}

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(I < method_count);
    return guarded([&] {
        PyObject* values[most_params] = {};
        parse_fastcall(row_params()[I].sig, args, nargs, kwnames, values);
        return method_rows[I].impl(self, state_of(self), values);
    });
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

template <std::size_t... I>
std::array<PyCFunction, method_count> entries(std::index_sequence<I...>) {
    return {FASTCALL(method_entry<I>)...};
}

const std::array<PyCFunction, method_count>& method_entries() {
    static const auto all = entries(std::make_index_sequence<method_count>());
    return all;
}

std::size_t row_of(step which) {
    for (std::size_t i = 0; i < method_count; ++i) {
        if (method_rows[i].slot == which) {
            return i;
        }
    }
    return method_count;  // not reached: every step has a row
}

}  // namespace

ref find_override(PyObject* self, step which) {
#if PY_VERSION_HEX >= 0x030A0000
    // The class itself is immutable, so only a subclass can replace a step.
    module_state& st = state_of(self);
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == st.type.get()) {
        return {};
    }
#endif
    const std::size_t row = row_of(which);
    ref method = getattr(self, method_rows[row].name);
    PyObject* m = method.get();
    if (PyCFunction_Check(m) && PyCFunction_GET_SELF(m) == self &&
        PyCFunction_GET_FUNCTION(m) == method_entries()[row]) {
        return {};
    }
    return method;
}

ref call_step(step which, PyObject* self, module_state& st, std::initializer_list<PyObject*> args) {
    const std::size_t row = row_of(which);
    PyObject* values[most_params] = {};
    int i = 0;
    for (PyObject* arg : args) {
        if (i < row_params()[row].sig.required) {
            check_array_result(arg);
        }
        values[i++] = arg;
    }
    if (ref override_ = find_override(self, which)) {
        ref result = steal(PyObject_Vectorcall(override_.get(), values, args.size(), nullptr));
        switch (method_rows[row].result) {
            case result_kind::array: check_array_result(result.get()); break;
            case result_kind::list: check_exact_result(result.get(), &PyList_Type); break;
            case result_kind::number:
            case result_kind::none:
                break;  // the caller converts a number, as it would the implementation's
        }
        return result;
    }
    return method_rows[row].impl(self, st, values);
}

const std::vector<PyMethodDef>& table_methods() {
    static std::vector<std::string> docs;
    static const std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> out;
        docs.reserve(method_count);
        for (std::size_t i = 0; i < method_count; ++i) {
            const method_row& row = method_rows[i];
            docs.push_back(std::string(row.name) + "($self, /, " + row.params + ")\n--\n\n" +
                           row.doc);
            out.push_back({row.name, method_entries()[i], METH_FASTCALL | METH_KEYWORDS,
                           docs.back().c_str()});
        }
        return out;
    }();
    return defs;
}

}  // namespace huesift
