// The module in Python 2 terms: byte-string stems, int starts, unicode
// titles, IOError, and messages on the C library's standard output, which is
// the stream Python 2's own sys.stdout writes through.
#include "module/interpreter.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "module/cp1251.h"
#include "module/methods.h"

// One file serves Python 2.7 built with 2-byte unicode (CPython's default,
// and many box images) and with 4-byte (Debian's): each has one of these
// constructors, bound weakly here under its own name and width, whatever the
// headers this was compiled with chose.
extern "C" {
PyObject* quarnel_unicode_ucs2(const uint16_t*, Py_ssize_t) __asm__("PyUnicodeUCS2_FromUnicode")
    __attribute__((weak));
PyObject* quarnel_unicode_ucs4(const uint32_t*, Py_ssize_t) __asm__("PyUnicodeUCS4_FromUnicode")
    __attribute__((weak));
}

namespace quarnel {

bool parse_read_args(PyObject* args, Stem& stem) noexcept {
    return PyArg_ParseTuple(args, "s", &stem.bytes) != 0;
}

bool parse_current_args(PyObject* args, Stem& stem, long& shift) noexcept {
    return PyArg_ParseTuple(args, "sl", &stem.bytes, &shift) != 0;
}

bool parse_between_args(PyObject* args, Stem& stem, PyObject*& start, PyObject*& end) noexcept {
    return PyArg_ParseTuple(args, "sOO", &stem.bytes, &start, &end) != 0;
}

const char kReadDoc[] = QUARNEL_SHARED_DOC;
const char kCurrentDoc[] = QUARNEL_SHARED_DOC;
const char kBetweenDoc[] = QUARNEL_BETWEEN_DOC;

PyObject* new_start(int32_t start) noexcept {
    return PyInt_FromLong(start);
}

namespace {

template <typename Char>
void widen(const char* title, size_t length, Char* out) noexcept {
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<Char>(cp1251_char(static_cast<unsigned char>(title[i])));
}

}  // namespace

// Decoded through a table rather than the codec machinery: the codec
// registry and its Python-level decoder cost over 90% of a listing's
// instructions, for the same result.
PyObject* new_title(const char* title, size_t length) noexcept {
    const Py_ssize_t size = static_cast<Py_ssize_t>(length);
    PyObject* text = quarnel_unicode_ucs2 ? quarnel_unicode_ucs2(NULL, size) : quarnel_unicode_ucs4(NULL, size);
    if (!text)
        return NULL;
    // Its storage, at the width found rather than the headers'.
    void* out = PyUnicode_AS_UNICODE(text);
    if (quarnel_unicode_ucs2)
        widen(title, length, static_cast<uint16_t*>(out));
    else
        widen(title, length, static_cast<uint32_t*>(out));
    return text;
}

PyObject* raise_file_error(int err, const Stem&, const char*) noexcept {
    if (err == guide::kStopped)
        return NULL;
    errno = err;
    return PyErr_SetFromErrno(PyExc_IOError);
}

// A handler that ran while the stream was blocked (a full pipe) wins.
bool InterpreterHost::print(const char* const* pieces, bool flush) noexcept {
    guide::print_on_stdout(pieces, flush);
    return PyErr_CheckSignals() == 0;
}

}  // namespace quarnel

// The only symbol the shared object exports.
extern "C" __attribute__((visibility("default"))) void initquarnel() {
    if (!quarnel_unicode_ucs2 && !quarnel_unicode_ucs4) {
        PyErr_SetString(PyExc_ImportError, "quarnel: this Python has no unicode constructor it knows");
        return;
    }
    PyObject* module = Py_InitModule4("quarnel", quarnel::kMethods, NULL, NULL, PYTHON_API_VERSION);
    if (module)  // borrowed; a failure here leaves its error for the import to raise
        PyModule_AddStringConstant(module, "__version__", QUARNEL_VERSION);
}
