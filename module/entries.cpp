#include "module/entries.h"

#include <errno.h>
#include <string.h>

#include "module/cp1251.h"
#include "module/py_ref.h"

namespace quarnel {

namespace {

// The title as unicode, decoded from cp1251 with "replace" handling (one
// stray byte must not make a whole guide unreadable). A table instead of the
// codec machinery: going through the codec registry and its Python-level
// decoder cost over 90% of a listing's instructions, for the same result.
PyObject* decode_title(const char* title) noexcept {
    Py_ssize_t length = static_cast<Py_ssize_t>(strlen(title));
    PyObject* text = PyUnicode_FromUnicode(NULL, length);
    if (!text)
        return NULL;
    Py_UNICODE* out = PyUnicode_AS_UNICODE(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        unsigned char byte = static_cast<unsigned char>(title[i]);
        out[i] = byte < 0x80 ? byte : kCp1251High[byte - 0x80];
    }
    return text;
}

}  // namespace

PyObject* entry_tuple(int32_t start, const char* title) noexcept {
    PyRef tuple(PyTuple_New(2));
    if (!tuple)
        return NULL;
    PyObject* number = PyInt_FromLong(start);
    if (!number)
        return NULL;
    PyTuple_SET_ITEM(tuple.get(), 0, number);
    PyObject* text = decode_title(title);
    if (!text)
        return NULL;
    PyTuple_SET_ITEM(tuple.get(), 1, text);
    // An int and a unicode can never form a cycle: keeping 65535 such tuples
    // off the collector's lists saves it walking them again and again.
    PyObject_GC_UnTrack(tuple.get());
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
    if (file_error == guide::kStopped)
        return NULL;
    errno = file_error;
    return PyErr_SetFromErrno(PyExc_IOError);
}

}  // namespace quarnel
