#include "module/entries.h"
#include "module/methods.h"

namespace quarnel {

PyObject* between(PyObject*, PyObject* args) noexcept {
    Stem stem;
    PyObject* start_arg = NULL;
    PyObject* end_arg = NULL;
    int32_t start = 0;
    int32_t end = 0;
    if (!parse_between_args(args, stem, start_arg, end_arg) || !as_time(start_arg, start) ||
        !as_time(end_arg, end))
        return NULL;
    InterpreterHost host;
    guide::Pair pair(host);
    if (!open_channel(stem, pair))
        return NULL;

    int err = 0;
    PyObject* result = NULL;
    if (end <= start || pair.count == 0) {
        result = PyTuple_New(0);
    } else {
        long first = 0;
        err = guide::find_range_start(pair, start, first);
        if (!err)
            result = read_range(pair, first, end, err);
    }
    return finish(pair, stem, result, err);
}

}  // namespace quarnel
