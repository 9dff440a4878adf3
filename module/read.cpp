#include "module/entries.h"
#include "module/methods.h"

namespace quarnel {

PyObject* read(PyObject*, PyObject* args) noexcept {
    const char* stem = NULL;
    if (!PyArg_ParseTuple(args, "s", &stem))
        return NULL;
    InterpreterHost host;
    guide::Pair pair(host);
    int err = guide::open_pair(stem, pair);
    if (err)
        return raise_file_error(err);
    PyObject* result = read_entries(pair, pair.count, err);
    return finish(pair, result, err);
}

}  // namespace quarnel
