// The table's rows made into methods: entries from Python, and the dispatch of the class's own
// calls.
#include "methods.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <utility>

namespace huesift {

namespace {

// How the class's own code calls a method, and what an override's result must be.
enum class dispatch { step, method };
enum class result_kind { array, list, number, pair, any };

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
constexpr std::size_t most_params = [] {
    std::size_t most = 0;
    for (std::span<const parameter> params : method_params) {
        most = std::max(most, params.size());
    }
    return most;
}();

#define HUESIFT_CHECK_ROW(name, impl, how, result, doc, params) \
    static_assert(arity(impl) == std::size(impl##_params),      \
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
            const int required = static_cast<int>(required_params(params));
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

template <std::size_t... I>
std::array<PyCFunction, method_count> entries(std::index_sequence<I...>) {
    return {as_method(method_entry<I>)...};
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

ref detail::call_step(method which, call_context& ctx, std::span<PyObject* const> args) {
    const std::size_t index = static_cast<std::size_t>(which);
    const method_row& row = method_rows[index];
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
    if (ref override_ = override_of(ctx.self, ctx.st, ctx.st.own_methods[index])) {
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
