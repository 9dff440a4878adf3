#include "module/entries.h"
#include "module/methods.h"

#include <time.h>

namespace quarnel {
namespace {

// now + shift as signed 32-bit values, wrapping like the start times do.
int32_t target_time(time_t now, long shift) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(shift));
}

}  // namespace

PyObject* current(PyObject*, PyObject* args) noexcept {
    Stem stem;
    long shift = 0;
    if (!parse_current_args(args, stem, shift))
        return NULL;
    InterpreterHost host;
    guide::Pair pair(host);
    if (!open_channel(stem, pair))
        return NULL;

    long first = 0;
    long size = 0;
    PyObject* result = NULL;
    int err = guide::find_window(pair, target_time(time(NULL), shift), first, size);
    if (!err)
        result = read_entries(pair, size, err);
    return finish(pair, stem, result, err);
}

}  // namespace quarnel
