#include "module/entries.h"
#include "module/methods.h"

namespace quarnel {

PyObject* read(PyObject*, PyObject* args) noexcept {
    Stem stem;
    if (!parse_read_args(args, stem))
        return NULL;
    InterpreterHost host;
    guide::Pair pair(host);
    if (!open_channel(stem, pair))
        return NULL;
    int err = 0;
    PyObject* result = read_entries(pair, pair.count, err);
    return finish(pair, stem, result, err);
}

}  // namespace quarnel
