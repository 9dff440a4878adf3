#include "module/methods.h"

namespace quarnel {
namespace {

char kDoc[] = "Return epg tuples from ndx+pdt files. Usage quarnel.read(channel_name).";

}  // namespace

PyMethodDef kMethods[] = {
    {"read", read, METH_VARARGS, kDoc},
    {"current", current, METH_VARARGS, kDoc},
    {NULL, NULL, 0, NULL},
};

}  // namespace quarnel
