// The module in Python 3 terms, on the stable ABI (one file for 3.8 on):
// str, bytes or path-like stems, int starts, str titles, OSError with the
// failed file's name, and messages written through sys.stdout.
#include "module/interpreter.h"

#include <errno.h>
#include <string.h>
#include <wchar.h>

#include "module/cp1251.h"
#include "module/methods.h"

namespace quarnel {
namespace {

// As os.open takes a path: str in the file system encoding (so undecodable
// names round-trip), bytes, or os.PathLike; TypeError for anything else,
// ValueError for a NUL inside.
int convert_stem(PyObject* arg, void* out) noexcept {
    Stem& stem = *static_cast<Stem*>(out);
    PyRef path(PyOS_FSPath(arg));
    if (!path)
        return 0;
    PyObject* encoded = NULL;
    if (!PyUnicode_FSConverter(path.get(), &encoded))
        return 0;
    stem.encoded.reset(encoded);
    stem.as_bytes = PyBytes_Check(path.get());
    stem.bytes = PyBytes_AsString(encoded);
    return stem.bytes ? 1 : 0;
}

// The bytes of a message, joined.
PyObject* joined(const char* const* pieces) noexcept {
    size_t size = 0;
    for (const char* const* p = pieces; *p; ++p)
        size += strlen(*p);
    PyObject* bytes = PyBytes_FromStringAndSize(NULL, static_cast<Py_ssize_t>(size));
    if (!bytes)
        return NULL;
    char* out = PyBytes_AsString(bytes);
    for (; *pieces; ++pieces) {
        size_t n = strlen(*pieces);
        memcpy(out, *pieces, n);
        out += n;
    }
    return bytes;
}

// Writes text to the stream; a name the stream cannot encode is written
// again with what it cannot take escaped.
bool write_text(PyObject* stream, PyObject* text) noexcept {
    PyRef done(PyObject_CallMethod(stream, "write", "O", text));
    if (done || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return bool(done);
    PyErr_Clear();
    PyRef encoding(PyObject_GetAttrString(stream, "encoding"));
    PyRef escaped(encoding ? PyObject_CallMethod(text, "encode", "Os", encoding.get(),
                                                 "backslashreplace")
                           : NULL);
    PyRef plain(escaped ? PyObject_CallMethod(escaped.get(), "decode", "Os", encoding.get(),
                                              "replace")
                        : NULL);
    if (!plain)
        return false;
    PyRef again(PyObject_CallMethod(stream, "write", "O", plain.get()));
    return bool(again);
}

}  // namespace

bool parse_read_args(PyObject* args, Stem& stem) noexcept {
    return PyArg_ParseTuple(args, "O&", convert_stem, &stem) != 0;
}

bool parse_current_args(PyObject* args, Stem& stem, long& shift) noexcept {
    return PyArg_ParseTuple(args, "O&l", convert_stem, &stem, &shift) != 0;
}

PyObject* new_start(int32_t start) noexcept {
    return PyLong_FromLong(start);
}

// wchar_t holds any character on Linux, and the stable ABI has no way to
// fill a str in place.
PyObject* new_title(const char* title) noexcept {
    wchar_t text[guide::kTitleBufferSize];
    Py_ssize_t length = 0;
    for (; title[length]; ++length)
        text[length] = static_cast<wchar_t>(cp1251_char(static_cast<unsigned char>(title[length])));
    return PyUnicode_FromWideChar(text, length);
}

PyObject* raise_file_error(int err, const Stem& stem, const char* failed_suffix) noexcept {
    if (err == guide::kStopped)
        return NULL;
    if (!failed_suffix) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    PyRef name(PyBytes_FromFormat("%s%s", stem.bytes, failed_suffix));
    if (name && !stem.as_bytes)
        name.reset(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(name.get()),
                                                    PyBytes_Size(name.get())));
    if (!name)
        return NULL;
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
}

// Through sys.stdout, so the line keeps its place among print() output and
// follows redirection; the C stream when sys.stdout is missing or fails. A
// KeyboardInterrupt (anything not an Exception) while writing wins.
bool InterpreterHost::print(const char* const* pieces, bool flush) noexcept {
    PyObject* stream = PySys_GetObject("stdout");  // borrowed
    if (stream && stream != Py_None) {
        PyRef bytes(joined(pieces));
        PyRef text(bytes ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(bytes.get()),
                                                             PyBytes_Size(bytes.get()))
                         : NULL);
        if (text && write_text(stream, text.get())) {
            if (flush) {
                PyRef flushed(PyObject_CallMethod(stream, "flush", NULL));
                if (!flushed && !PyErr_ExceptionMatches(PyExc_Exception))
                    return false;
                PyErr_Clear();  // written; a failed flush is the stream's own affair
            }
            return true;
        }
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception))
            return false;
        PyErr_Clear();
    }
    return guide::print_on_stdout(pieces, flush);
}

}  // namespace quarnel

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarnel", NULL, -1, quarnel::kMethods, NULL, NULL, NULL, NULL,
};

}  // namespace

// The only symbol the shared object exports.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarnel() {
    return PyModule_Create(&kModule);
}
