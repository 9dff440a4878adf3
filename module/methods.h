#ifndef QUARNEL_MODULE_METHODS_H
#define QUARNEL_MODULE_METHODS_H

#include <Python.h>

namespace quarnel {

// The module's methods (read, current and between), ending
// with the empty row; the init functions of python2.cpp and python3.cpp
// hand it to the interpreter.
extern PyMethodDef kMethods[];

}  // namespace quarnel

#endif
