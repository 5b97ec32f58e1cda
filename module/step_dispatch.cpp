// The table's rows made into methods: their parameters, entries from Python, and the dispatch
// of the class's own calls.
#include "step_dispatch.hpp"

#include "args.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

namespace huesift {

namespace {

// How the class's own code calls a method, and what an override's result must be.
enum class dispatch { step, method };
enum class result_kind { array, list, number, pair, any };

// Each row's parameters, named after its implementation.
#define HUESIFT_PARAM_ROW(name, type) {#name, kind::type, nullptr},
#define HUESIFT_DEFAULT_ROW(name, type, default_text) {#name, kind::type, default_text},
#define HUESIFT_PARAMS_OF(name, impl, how, result, doc, params) \
    constexpr parameter impl##_params[] = {params};
HUESIFT_METHODS(HUESIFT_PARAMS_OF, HUESIFT_PARAM_ROW, HUESIFT_DEFAULT_ROW)
#undef HUESIFT_PARAMS_OF
#undef HUESIFT_DEFAULT_ROW
#undef HUESIFT_PARAM_ROW

template <class T>
T value_of(const argument& a) {
    if constexpr (std::is_same_v<T, int>) {
        return a.integer;
    } else if constexpr (std::is_same_v<T, double>) {
        return a.number;
    } else if constexpr (std::is_same_v<T, bool>) {
        return a.truth;
    } else {
        return a.object.get();
    }
}

template <class... P>
constexpr std::size_t arity(ref (*)(call_context&, P...)) {
    return sizeof...(P);
}

template <class... P, std::size_t... I>
ref invoke(ref (*impl)(call_context&, P...), call_context& ctx, const argument* args,
           std::index_sequence<I...>) {
    return impl(ctx, value_of<P>(args[I])...);
}

// An implementation called with its arguments' values, each as its parameter's type.
template <auto Impl>
ref run(call_context& ctx, const argument* args) {
    return invoke(Impl, ctx, args, std::make_index_sequence<arity(Impl)>());
}

struct method_row {
    const char* name;
    ref (*run)(call_context& ctx, const argument* args);
    dispatch how;
    result_kind result;
    const char* doc;
    std::span<const parameter> params;
};

constexpr method_row method_rows[] = {
#define HUESIFT_METHOD_ROW(name, impl, how, result, doc, params) \
    {#name, run<impl>, dispatch::how, result_kind::result, doc, impl##_params},
#define HUESIFT_NO_PARAM(...)
    HUESIFT_METHODS(HUESIFT_METHOD_ROW, HUESIFT_NO_PARAM, HUESIFT_NO_PARAM)
#undef HUESIFT_NO_PARAM
#undef HUESIFT_METHOD_ROW
};
constexpr std::size_t method_count = std::size(method_rows);
constexpr std::size_t most_params = 4;

#define HUESIFT_CHECK_ROW(name, impl, how, result, doc, params)                             \
    static_assert(                                                                          \
        arity(impl) == std::size(impl##_params) && std::size(impl##_params) <= most_params, \
        #name ": the implementation takes the row's parameters");
#define HUESIFT_NO_PARAM(...)
HUESIFT_METHODS(HUESIFT_CHECK_ROW, HUESIFT_NO_PARAM, HUESIFT_NO_PARAM)
#undef HUESIFT_NO_PARAM
#undef HUESIFT_CHECK_ROW

// Each row's parameters for the parser: their names, and how many come before the first
// default. Built once, before the type exists.
struct row_signature {
    std::array<const char*, most_params> names;
    signature sig;
};

const std::array<row_signature, method_count>& signatures() {
    // Filled in place: each signature points at its own names.
    static std::array<row_signature, method_count> all{};
    static const bool filled = [] {
        for (std::size_t i = 0; i < method_count; ++i) {
            const auto& params = method_rows[i].params;
            int required = 0;
            while (required < static_cast<int>(params.size()) &&
                   params[static_cast<std::size_t>(required)].default_text == nullptr) {
                ++required;
            }
            for (std::size_t p = 0; p < params.size(); ++p) {
                all[i].names[p] = params[p].name;
            }
            all[i].sig = {method_rows[i].name, all[i].names.data(), static_cast<int>(params.size()),
                          required};
        }
        return true;
    }();
    (void)filled;
    return all;
}

// The implementation, with each argument checked as its kind says.
ref run_checked(const method_row& row, call_context& ctx, PyObject* const* given) {
    argument values[most_params];
    take_arguments(row.params, given, values);
    return row.run(ctx, values);
}

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(I < method_count);
    return guarded([&] {
        PyObject* given[most_params] = {};
        parse_fastcall(signatures()[I].sig, args, nargs, kwnames, given);
        module_state& st = state_of(self);
        call_context ctx{self, st, native_gate(self, st)};
        return run_checked(method_rows[I], ctx, given);
    });
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

template <std::size_t... I>
std::array<PyCFunction, method_count> entries(std::index_sequence<I...>) {
    return {FASTCALL(method_entry<I>)...};
}

// What an override's result must be; a pair comes back as a tuple of its two items.
ref checked_result(result_kind expected, ref result) {
    switch (expected) {
        case result_kind::array: check_array_result(result.get()); break;
        case result_kind::list: check_exact_result(result.get(), &PyList_Type); break;
        case result_kind::pair: {
            auto [first, second] = unpack_pair(result.get());
            return make_tuple({first.get(), second.get()});
        }
        case result_kind::number:  // the caller converts a number, as it would the
        case result_kind::any:     // implementation's
            break;
    }
    return result;
}

}  // namespace

ref call_step(method which, call_context& ctx, std::initializer_list<PyObject*> args) {
    const method_row& row = method_rows[static_cast<std::size_t>(which)];
    PyObject* given[most_params] = {};
    std::copy(args.begin(), args.end(), given);
    if (row.how == dispatch::step) {
        // A typed step's array arguments are converted before the override is looked up.
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (row.params[i].type == kind::array) {
                check_array_result(given[i]);
            }
        }
    }
    if (ref override_ = find_override(ctx.self, ctx.st, which)) {
        ref result = steal(PyObject_Vectorcall(override_.get(), given, args.size(), nullptr));
        return checked_result(row.result, std::move(result));
    }
    return run_checked(row, ctx, given);
}

const std::vector<PyMethodDef>& table_methods() {
    static std::vector<std::string> docs;
    static const std::vector<PyMethodDef> defs = [] {
        const auto all = entries(std::make_index_sequence<method_count>());
        std::vector<PyMethodDef> out;
        docs.reserve(method_count);
        for (std::size_t i = 0; i < method_count; ++i) {
            const method_row& row = method_rows[i];
            std::string text = std::string(row.name) + "($self, /";
            for (const parameter& p : row.params) {
                text += std::string(", ") + p.name;
                if (p.default_text != nullptr) {
                    text += std::string("=") + p.default_text;
                }
            }
            docs.push_back(text + ")\n--\n\n" + row.doc);
            out.push_back({row.name, all[i], METH_FASTCALL | METH_KEYWORDS, docs.back().c_str()});
        }
        return out;
    }();
    return defs;
}

}  // namespace huesift
