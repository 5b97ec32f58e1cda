// The dispatch of the table's methods: from Python through their entries, and from the class's
// own code through call_step, each to a subclass's override or to its implementation.
#pragma once

#include "methods.hpp"
#include "module_state.hpp"
#include "native_gate.hpp"

#include <initializer_list>
#include <vector>

namespace huesift {

// One call from Python: the object, the module state and which native paths the call may
// take. The class's own calls hand it on, so the decision is made once.
struct call_context {
    PyObject* self;
    module_state& st;
    native_gate gate;
};

// The implementations' parameters by kind: the C value of a number or truth value, else the
// object.
namespace param_type {
using object = PyObject*;
using array = PyObject*;
using dict = PyObject*;
using list = PyObject*;
using tuple = PyObject*;
using str_or_none = PyObject*;
using integer = int;
using number = double;
using truth = bool;
}  // namespace param_type

#define HUESIFT_PARAM_DECL(name, kind) , param_type::kind name
#define HUESIFT_DEFAULT_DECL(name, kind, default_text) , param_type::kind name
#define HUESIFT_DECLARE_IMPL(name, impl, how, result, doc, params) \
    ref impl(call_context& ctx params);
HUESIFT_METHODS(HUESIFT_DECLARE_IMPL, HUESIFT_PARAM_DECL, HUESIFT_DEFAULT_DECL)
#undef HUESIFT_DECLARE_IMPL
#undef HUESIFT_DEFAULT_DECL
#undef HUESIFT_PARAM_DECL

// A method of the table as the class's own code calls it, as its row says: a subclass's
// override runs in place of the implementation and its result is checked, else the
// implementation runs with this call's decisions. A pair comes back as a tuple of two.
ref call_step(method which, call_context& ctx, std::initializer_list<PyObject*> args);

// The table's methods for the type, in the table's order, each with its text signature.
const std::vector<PyMethodDef>& table_methods();

}  // namespace huesift
