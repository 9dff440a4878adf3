#include "module/entries.h"

namespace quarnel {
namespace {

PyObject* entry_tuple(int32_t start, const char* title) noexcept {
    PyRef tuple(PyTuple_New(2));
    if (!tuple)
        return NULL;
    PyObject* number = new_start(start);
    if (!number || PyTuple_SetItem(tuple.get(), 0, number) != 0)
        return NULL;
    PyObject* text = new_title(title);
    if (!text || PyTuple_SetItem(tuple.get(), 1, text) != 0)
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
