#include "module/entries.h"

namespace quarnel {
namespace {

// The items are made first: making them can run Python code (the collector's
// callbacks), which must never meet a tuple with an empty slot.
PyObject* entry_tuple(int32_t start, const char* title) noexcept {
    PyRef number(new_start(start));
    PyRef text(number ? new_title(title) : NULL);
    if (!text)
        return NULL;
    PyRef tuple(PyTuple_New(2));
    if (!tuple || PyTuple_SetItem(tuple.get(), 0, number.release()) != 0 ||
        PyTuple_SetItem(tuple.get(), 1, text.release()) != 0)
        return NULL;
    // An int and a text can never form a cycle: keeping 65535 such tuples
    // off the collector's lists saves it walking them again and again.
    PyObject_GC_UnTrack(tuple.get());
    return tuple.release();
}

}  // namespace

PyObject* read_entries(guide::Pair& pair, long n, int& file_error) noexcept {
    file_error = 0;
    PyRef result(PyTuple_New(n));
    if (!result)
        return NULL;
    // Out of the collector's sight while slots are empty: signal handlers and
    // the collector's callbacks run Python code during the reads. Holding
    // only untracked entries, it can never be part of a cycle, so it stays so.
    PyObject_GC_UnTrack(result.get());
    guide::TitleBuffer title;
    for (long i = 0; i < n; ++i) {
        int32_t start = 0;
        file_error = guide::read_next_entry(pair, start, title);
        if (file_error)
            return NULL;
        PyObject* entry = entry_tuple(start, title);
        if (!entry || PyTuple_SetItem(result.get(), i, entry) != 0)
            return NULL;
    }
    return result.release();
}

PyObject* finish(guide::Pair& pair, const Stem& stem, PyObject* result, int file_error) noexcept {
    guide::close_pair(pair);
    return file_error ? raise_file_error(file_error, stem, pair.failed_suffix) : result;
}

}  // namespace quarnel
