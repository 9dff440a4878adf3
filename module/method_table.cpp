#include "module/interpreter.h"
#include "module/methods.h"

namespace quarnel {

PyMethodDef kMethods[] = {
    {"read", read, METH_VARARGS, kReadDoc},
    {"current", current, METH_VARARGS, kCurrentDoc},
    {"between", between, METH_VARARGS, kBetweenDoc},
    {NULL, NULL, 0, NULL},
};

}  // namespace quarnel
