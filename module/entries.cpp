#include "module/entries.h"

#include <errno.h>

#include "module/py_ref.h"

namespace quarnel {

PyObject* entry_tuple(int32_t start, const char* title) noexcept {
    PyRef tuple(PyTuple_New(2));
    if (!tuple)
        return NULL;
    PyObject* number = PyInt_FromLong(start);
    if (!number)
        return NULL;
    PyTuple_SET_ITEM(tuple.get(), 0, number);
    PyRef bytes(PyString_FromString(title));
    if (!bytes)
        return NULL;
    // "replace": one stray byte (cp1251 has no 0x98) must not make the
    // whole guide unreadable.
    PyObject* text = PyString_AsDecodedObject(bytes.get(), "cp1251", "replace");
    if (!text)
        return NULL;
    PyTuple_SET_ITEM(tuple.get(), 1, text);
    return tuple.release();
}

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
        if (!entry)
            return NULL;
        PyTuple_SET_ITEM(result.get(), i, entry);
    }
    return result.release();
}

PyObject* finish(guide::Pair& pair, PyObject* result, int file_error) noexcept {
    guide::close_pair(pair);
    return file_error ? raise_file_error(file_error) : result;
}

PyObject* raise_file_error(int file_error) noexcept {
    errno = file_error;
    return PyErr_SetFromErrno(PyExc_IOError);
}

}  // namespace quarnel
