#ifndef QUARNEL_MODULE_METHODS_H
#define QUARNEL_MODULE_METHODS_H

#include <Python.h>

namespace quarnel {

// read(channel_name): every entry of the channel.
PyObject* read(PyObject* self, PyObject* args) noexcept;
// current(channel_name, shift): the entry on at now + shift and up to two after.
PyObject* current(PyObject* self, PyObject* args) noexcept;

// between(channel_name, start, end): the entries on air in [start, end).
PyObject* between(PyObject* self, PyObject* args) noexcept;

// The module's methods (read and current with the same docstring), ending
// with the empty row.
extern PyMethodDef kMethods[];

}  // namespace quarnel

#endif
