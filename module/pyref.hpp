// Owned references and checked calls into Python: the one RAII layer of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <utility>

namespace huesift {

// Thrown when the Python error indicator is set; the boundary returns it unchanged.
struct python_error : std::exception {
    const char* what() const noexcept override { return "Python error indicator is set"; }
};

class ref {
public:
    ref() noexcept = default;
    ref(const ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    ref(ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ref& operator=(ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~ref() { Py_XDECREF(ptr_); }

    // A new reference; NULL means the call failed and the error indicator is set.
    static ref steal(PyObject* obj) {
        if (obj == nullptr) {
            throw python_error();
        }
        return ref(obj);
    }
    static ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }
    bool is_none() const noexcept { return ptr_ == Py_None; }
    // Ownership passes to CPython.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    // Python's obj.name, obj[key] and obj(*args), each raising through the one error path.
    ref attr(const char* name) const;
    ref operator[](const ref& key) const;
    ref operator[](long long index) const;
    template <class... Args>
    ref operator()(const Args&... args) const;

    // `for (const ref& item : obj)`: Python's iteration; an error ends the loop by raising.
    class iterator;
    iterator begin() const;
    iterator end() const;

private:
    explicit ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

class ref::iterator {
public:
    iterator() = default;  // the end
    explicit iterator(ref iter) : iter_(std::move(iter)) { ++*this; }
    const ref& operator*() const noexcept { return item_; }
    iterator& operator++() {
        PyObject* next = PyIter_Next(iter_.get());
        if (next == nullptr && PyErr_Occurred()) {
            throw python_error();
        }
        item_ = ref(next);
        return *this;
    }
    bool operator!=(const iterator& other) const noexcept { return item_.ptr_ != other.item_.ptr_; }

private:
    ref iter_;
    ref item_;
};

inline ref::iterator ref::begin() const { return iterator(steal(PyObject_GetIter(ptr_))); }
inline ref::iterator ref::end() const { return iterator(); }

inline ref steal(PyObject* obj) { return ref::steal(obj); }
inline ref borrow(PyObject* obj) noexcept { return ref::borrow(obj); }
inline ref none() noexcept { return borrow(Py_None); }

inline void check(int rc) {
    if (rc < 0) {
        throw python_error();
    }
}

// The exception now raised, normalised and with its traceback, taken off the indicator.
ref take_exception();
// Raises `exc` again, as it was taken.
[[noreturn]] void raise_again(ref exc);

// Raise a Python exception and leave through the C++ error path.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

inline PyObject* as_ptr(PyObject* obj) noexcept { return obj; }
inline PyObject* as_ptr(const ref& obj) noexcept { return obj.get(); }

template <class... Args>
ref call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return steal(PyObject_Vectorcall(callable, argv + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... Args>
ref call(const ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}
template <class... Args>
ref ref::operator()(const Args&... args) const {
    return call(ptr_, args...);
}

// Python's arithmetic on objects: a + b, a - b, a * b, a / b, a ** b, ~a and a += b.
ref operator+(const ref& a, const ref& b);
ref operator-(const ref& a, const ref& b);
ref operator*(const ref& a, const ref& b);
ref operator/(const ref& a, const ref& b);
ref operator~(const ref& a);
ref& operator+=(ref& a, const ref& b);
ref power(const ref& a, const ref& b);
// a <op> b with Python's rich comparison, e.g. compare(labels, label, Py_EQ).
ref compare(const ref& a, const ref& b, int op);

// A keyword argument for call_kw: {"axis", from_long(0)}.
struct kwarg {
    const char* name;
    ref value;
};

// callable(*args, **kwargs)
ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<kwarg> kwargs);
inline ref call_kw(const ref& callable, std::initializer_list<PyObject*> args,
                   std::initializer_list<kwarg> kwargs) {
    return call_kw(callable.get(), args, kwargs);
}

ref getattr(PyObject* obj, PyObject* name);
ref getattr(PyObject* obj, const char* name);
template <class... Args>
ref call_method(PyObject* obj, const char* name, const Args&... args) {
    return call(getattr(obj, name), args...);
}

// Python's len(); -1 never escapes.
Py_ssize_t length(PyObject* obj);
// obj == text, with Python's equality.
bool equals(PyObject* obj, const char* text);
// `a, b = value`, with Python's messages for any other number of items.
std::pair<ref, ref> unpack_pair(PyObject* value);

// [[item]]: a one-pixel image for numpy.uint8(...).
ref nested(PyObject* item);
// tuple(int(c) for c in items)
ref int_tuple(PyObject* items);

ref from_long(long long value);
ref from_double(double value);
ref from_str(const char* text);
ref make_tuple(std::initializer_list<PyObject*> items);
bool truth(PyObject* obj);

// Converts each C++ exception to the matching Python error at a function boundary.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body().release();
    } catch (const python_error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

template <class F>
int guarded_int(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const python_error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return -1;
    }
}

// A function of any calling convention as the PyCFunction a method table holds: the one cast
// the C API asks for.
template <class Fn>
PyCFunction as_method(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Releases the GIL for the lifetime of the object.
class gil_release {
public:
    gil_release() noexcept : state_(PyEval_SaveThread()) {}
    ~gil_release() { PyEval_RestoreThread(state_); }
    gil_release(const gil_release&) = delete;
    gil_release& operator=(const gil_release&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace huesift
