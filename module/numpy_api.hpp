// NumPy's C API; one translation unit (tintmill.cpp) owns the API table.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL huesift_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
