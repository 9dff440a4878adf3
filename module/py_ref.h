// An owned reference: released on every return path unless handed on.
#ifndef QUARNEL_MODULE_PY_REF_H
#define QUARNEL_MODULE_PY_REF_H

#include <Python.h>

namespace quarnel {

class PyRef {
public:
    // A new reference, as most calls return one (NULL on their failure).
    static PyRef owned(PyObject* object) noexcept { return PyRef(object); }
    // A borrowed reference, held from now on for as long as this lives.
    static PyRef borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef() noexcept : object_(NULL) {}
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    ~PyRef() { Py_XDECREF(object_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != NULL; }
    // Takes a new reference in place of the one held so far.
    void reset(PyObject* object) noexcept {
        PyObject* old = object_;
        object_ = object;
        Py_XDECREF(old);
    }
    // Hands the reference to the caller (for instance to PyTuple_SetItem).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = NULL;
        return object;
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_;
};

// The pending exception taken out of the interpreter and normalized: put
// back with restore(), or dropped with this.
class FetchedError {
public:
    FetchedError() noexcept {
        PyObject* type = NULL;
        PyObject* value = NULL;
        PyObject* traceback = NULL;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        type_.reset(type);
        value_.reset(value);
        traceback_.reset(traceback);
    }
    PyObject* value() const noexcept { return value_.get(); }
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    PyRef type_, value_, traceback_;
};

}  // namespace quarnel

#endif
