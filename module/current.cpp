#include <time.h>

#include "module/entries.h"
#include "module/methods.h"

namespace quarnel {
namespace {

// now + shift as signed 32-bit values, wrapping like the start times do.
int32_t target_time(time_t now, long shift) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(shift));
}

// Index of the last entry starting strictly before `target`, kept within
// 0 ... count - 2. Entries 0 and count - 1 are never read: the answer does
// not depend on them.
int find_first(guide::Pair& pair, int32_t target, long& first) noexcept {
    long low = 0;
    long high = pair.count - 1;
    while (high - low >= 2) {
        long mid = low + (high - low) / 2;
        int32_t start = 0;
        int err = guide::read_start_time(pair, mid, start);
        if (err)
            return err;
        if (start < target)
            low = mid;
        else
            high = mid;
    }
    first = low;
    return 0;
}

}  // namespace

PyObject* current(PyObject*, PyObject* args) noexcept {
    const char* stem = NULL;
    long shift = 0;
    if (!PyArg_ParseTuple(args, "sl", &stem, &shift))
        return NULL;
    guide::Pair pair;
    int err = guide::open_pair(stem, pair);
    if (err)
        return raise_file_error(err);

    int32_t target = target_time(time(NULL), shift);
    long first = 0;
    err = find_first(pair, target, first);
    if (!err)
        err = guide::seek_entry(pair, first);
    PyObject* result = NULL;
    if (!err) {
        long n = first + 2 < pair.count ? 3 : pair.count - first;
        result = read_entries(pair, n, err);
    }
    return finish(pair, result, err);
}

}  // namespace quarnel
