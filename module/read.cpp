#include "module/entries.h"
#include "module/methods.h"

namespace quarnel {

PyObject* read(PyObject*, PyObject* args) noexcept {
    Stem stem;
    if (!parse_read_args(args, stem))
        return NULL;
    InterpreterHost host;
    guide::Pair pair(host);
    int err = guide::open_pair(stem.bytes, pair);
    if (err)
        return raise_file_error(err, stem, pair.failed_suffix);
    PyObject* result = read_entries(pair, pair.count, err);
    return finish(pair, stem, result, err);
}

}  // namespace quarnel
