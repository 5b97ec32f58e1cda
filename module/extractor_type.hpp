// The ColorExtractor type, made by the module's exec step.
#pragma once

#include "pyref.hpp"

namespace huesift {

// The type for `module`; the module state learns the methods it was made with.
ref create_extractor_type(PyObject* module);

}  // namespace huesift
