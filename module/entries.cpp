#include "module/entries.h"

#include "module/titles.h"

namespace quarnel {
namespace {

// The entry whose record gave `start` and `offset`: its title read now, the
// object shared with earlier entries of the call where the bytes are the
// same. The items are made first: making them can run Python code (the
// collector's callbacks), which must never meet a tuple with an empty slot.
PyObject* entry_at(guide::Pair& pair, TitleCache& titles, int32_t start, uint32_t offset,
                   int& file_error) noexcept {
    guide::TitleBuffer title;
    size_t length = 0;
    file_error = guide::read_title(pair, offset, title, length);
    if (file_error)
        return NULL;
    PyRef number(new_start(start));
    PyRef text(number ? titles.title(offset, title, length) : NULL);
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

bool open_channel(const Stem& stem, guide::Pair& pair) noexcept {
    int err = guide::open_pair(stem.bytes, pair);
    if (err)
        raise_file_error(err, stem, pair.failed_suffix);
    return err == 0;
}

PyObject* read_entries(guide::Pair& pair, long n, int& file_error) noexcept {
    file_error = 0;
    PyRef result(PyTuple_New(n));
    if (!result)
        return NULL;
    // Out of the collector's sight while slots are empty: signal handlers and
    // the collector's callbacks run Python code during the reads. Holding
    // only untracked entries, it can never be part of a cycle, so it stays so.
    PyObject_GC_UnTrack(result.get());
    TitleCache titles;
    for (long i = 0; i < n; ++i) {
        int32_t start = 0;
        uint32_t offset = 0;
        file_error = guide::read_next_record(pair, start, offset);
        if (file_error)
            return NULL;
        PyObject* entry = entry_at(pair, titles, start, offset, file_error);
        if (!entry || PyTuple_SetItem(result.get(), i, entry) != 0)
            return NULL;
    }
    return result.release();
}

PyObject* read_range(guide::Pair& pair, long first, int32_t end, int& file_error) noexcept {
    file_error = 0;
    // A list has no empty slots to be seen while it grows.
    PyRef entries(PyList_New(0));
    if (!entries)
        return NULL;
    TitleCache titles;
    for (long i = first; i < pair.count; ++i) {
        int32_t start = 0;
        uint32_t offset = 0;
        file_error = guide::read_next_record(pair, start, offset);
        if (file_error)
            return NULL;
        if (start >= end) {
            if (i == first)
                continue;
            break;
        }
        PyRef entry(entry_at(pair, titles, start, offset, file_error));
        if (!entry || PyList_Append(entries.get(), entry.get()) != 0)
            return NULL;
    }
    PyObject* result = PyList_AsTuple(entries.get());
    if (result)
        PyObject_GC_UnTrack(result);
    return result;
}

bool as_time(PyObject* value, int32_t& seconds) noexcept {
    PyRef index(PyNumber_Index(value));
    if (!index)
        return false;
    PY_LONG_LONG number = PyLong_AsLongLong(index.get());
    if (number == -1 && PyErr_Occurred())
        return false;
    if (number < INT32_MIN || number > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "time outside the signed 32-bit range");
        return false;
    }
    seconds = static_cast<int32_t>(number);
    return true;
}

PyObject* finish(guide::Pair& pair, const Stem& stem, PyObject* result, int file_error) noexcept {
    guide::close_pair(pair);
    return file_error ? raise_file_error(file_error, stem, pair.failed_suffix) : result;
}

}  // namespace quarnel
