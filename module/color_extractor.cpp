// The ColorExtractor object's fields by their rows, and its allocation and release.
#include "color_extractor.hpp"

#include <new>

namespace huesift {

namespace {

template <class T>
T& field(PyObject* self, const field_row& row) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + row.offset);
}

}  // namespace

ref field_value(PyObject* self, const field_row& row) {
    switch (row.param.type) {
        case kind::integer: return from_long(field<int>(self, row));
        case kind::number: return from_double(field<double>(self, row));
        case kind::truth: return borrow(field<bool>(self, row) ? Py_True : Py_False);
        default: return field<ref>(self, row);
    }
}

void set_field(PyObject* self, const field_row& row, const argument& value) {
    switch (row.param.type) {
        case kind::integer: field<int>(self, row) = value.integer; break;
        case kind::number: field<double>(self, row) = value.number; break;
        case kind::truth: field<bool>(self, row) = value.truth; break;
        default: field<ref>(self, row) = value.object; break;
    }
}

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    for (const field_row& row : field_rows) {
        switch (row.param.type) {
            case kind::integer: field<int>(self, row) = 0; break;
            case kind::number: field<double>(self, row) = 0.0; break;
            case kind::truth: field<bool>(self, row) = false; break;
            default: new (&field<ref>(self, row)) ref(none()); break;
        }
    }
    return self;
}

void extractor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    for (const field_row& row : field_rows) {
        if (row.param.type == kind::str_or_none) {
            field<ref>(self, row).~ref();
        }
    }
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace huesift
