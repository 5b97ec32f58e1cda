// The ColorExtractor object: its fields, made from the fields table, and its allocation and
// release.
#pragma once

#include "args.hpp"
#include "fields.hpp"
#include "pyref.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace huesift {

// A field's C++ type by its kind.
namespace field_type {
using integer = int;
using number = double;
using truth = bool;
using str_or_none = ref;
}  // namespace field_type

struct extractor_object {
    PyObject_HEAD
#define HUESIFT_FIELD_MEMBER(name, type, param, default_text, doc, profile) \
    HUESIFT_IN_PROFILE_##profile(field_type::type name;)
    HUESIFT_FIELDS(HUESIFT_FIELD_MEMBER)
#undef HUESIFT_FIELD_MEMBER
};

inline extractor_object* as_extractor(PyObject* self) {
    return reinterpret_cast<extractor_object*>(self);
}

// A field as the constructor and the saved state walk them: the parameter that sets it (a null
// name for a derived field) and its docstring line.
struct field_row {
    std::string_view name;
    parameter param;
    const char* doc;
    std::size_t offset;
};

inline constexpr field_row field_rows[] = {
#define HUESIFT_FIELD_ROW(name, type, param, default_text, doc, profile) \
    HUESIFT_IN_PROFILE_##profile(                                        \
        {#name, {param, kind::type, default_text}, doc, offsetof(extractor_object, name)}, )
    HUESIFT_FIELDS(HUESIFT_FIELD_ROW)
#undef HUESIFT_FIELD_ROW
};
inline constexpr std::size_t field_count = std::size(field_rows);

// The rows in the saved state's order: by name.
inline constexpr std::array<const field_row*, field_count> saved_fields = [] {
    std::array<const field_row*, field_count> out{};
    for (const field_row& row : field_rows) {
        std::size_t at = 0;
        for (const field_row& other : field_rows) {
            at += other.name < row.name;
        }
        out[at] = &row;
    }
    return out;
}();

// A field's value as Python sees it: an int, a float, a bool, or a str or None.
ref field_value(PyObject* self, const field_row& row);
// Sets a field from an argument taken by the field's kind.
void set_field(PyObject* self, const field_row& row, const argument& value);

PyObject* extractor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void extractor_dealloc(PyObject* self);

}  // namespace huesift
