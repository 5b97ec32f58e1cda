// The ColorExtractor class: its fields, made from the fields table, the constructor with its
// device decision, the saved state, and the type.
//
// The fields of ColorExtractor, one row each, in the order of the constructor's parameters. A
// row gives:
//   the field's name, which also places it in the saved state: the state lists the fields in
//   name order, as the format has always done;
//   its kind: `integer` (a C int), `number` (a double), `truth` (a bool) or `str_or_none`;
//   the constructor parameter that sets it and its default as the signature shows it, or two
//   nulls for a field the constructor derives from the others;
//   the parameter's line in the constructor's docstring;
//   the build profile that has it: `both`, or `full` (not the CPU-only profile).
// The object's fields, the constructor's parsing and docstring, and the saved state's order and
// checksums all come from these rows. Adding a constructor parameter is a row, the code that
// uses it and its stub.
#pragma once

#include "args.hpp"
#include "module_state.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#define HUESIFT_FIELDS(X)                                                                         \
    X(n_colors, integer, "n_colors", "5", "Number of dominant colors to extract", both)           \
    X(algorithm, str_or_none, "algorithm", "'kmeans'", "'kmeans' or 'dbscan' for clustering",     \
      both)                                                                                       \
    X(preprocessing, truth, "preprocessing", "True",                                              \
      "Apply noise reduction and lighting normalization", both)                                   \
    X(lab_space, truth, "lab_space", "True", "Use LAB color space for perceptual accuracy", both) \
    X(use_gpu_param, str_or_none, "use_gpu", "'auto'",                                            \
      "GPU usage mode ('auto', 'force', 'never')", full)                                          \
    X(use_gpu_compute, truth, nullptr, nullptr, nullptr, full)                                    \
    X(device, str_or_none, nullptr, nullptr, nullptr, full)

// The first line of the constructor's docstring, above the parameters' lines.
#define HUESIFT_INIT_DOC "Initialize ColorExtractor with robust color extraction capabilities."

namespace huesift {

struct extractor_object {
    PyObject_HEAD
#define HUESIFT_FIELD_MEMBER(name, type, param, default_text, doc, profile) \
    HUESIFT_IN_PROFILE_##profile(field_type<kind::type> name;)
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

// The type for `module`; the module state learns the methods it was made with.
ref create_extractor_type(PyObject* module);

// The module's functions: the restore function of saved extractors and, in the full profile,
// get_compute_device in its GPU or its CPU-only form.
PyMethodDef& unpickle_method();
#ifndef HUESIFT_CPU_ONLY
PyMethodDef& compute_device_method(bool gpu);
#endif

// The checksums of the saved state's field names, as the format defines them: the first seven
// hex digits of their SHA-256, SHA-1 and MD5, the first of which is written.
void compute_checksums(module_state& st);
// The saved state's field names, in their order, as a tuple of str.
ref saved_field_names();

}  // namespace huesift
