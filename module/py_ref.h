// An owned reference: released on every return path unless handed on.
#ifndef QUARNEL_MODULE_PY_REF_H
#define QUARNEL_MODULE_PY_REF_H

#include <Python.h>

namespace quarnel {

class PyRef {
public:
    explicit PyRef(PyObject* object = NULL) noexcept : object_(object) {}
    ~PyRef() { Py_XDECREF(object_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != NULL; }
    // Takes `object` in place of the reference held so far.
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
    PyObject* object_;
};

}  // namespace quarnel

#endif
