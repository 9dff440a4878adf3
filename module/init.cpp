#include <Python.h>

#include "module/methods.h"

namespace {

char kDoc[] = "Return epg tuples from ndx+pdt files. Usage quarnel.read(channel_name).";

PyMethodDef kMethods[] = {
    {"read", quarnel::read, METH_VARARGS, kDoc},
    {"current", quarnel::current, METH_VARARGS, kDoc},
    {NULL, NULL, 0, NULL},
};

}  // namespace

// The only symbol the shared object exports.
extern "C" __attribute__((visibility("default"))) void initquarnel() {
    Py_InitModule4("quarnel", kMethods, NULL, NULL, PYTHON_API_VERSION);
}
