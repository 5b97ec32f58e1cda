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

// A row of either profile expands in the build that has it.
#define HUESIFT_IN_PROFILE_both(...) __VA_ARGS__
#ifndef HUESIFT_CPU_ONLY
#define HUESIFT_IN_PROFILE_full(...) __VA_ARGS__
#else
#define HUESIFT_IN_PROFILE_full(...)
#endif
