// The module in Python 3 terms, on the stable ABI (one file for 3.8 on):
// str, bytes or path-like stems, int starts, str titles, OSError with the
// failed file's name, and messages written through sys.stdout.
#include "module/interpreter.h"

#include <errno.h>
#include <stdlib.h>
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
    PyRef path = PyRef::owned(PyOS_FSPath(arg));
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

// What became of one call into sys.stdout.
enum Outcome {
    kWritten,
    kStreamFailed,  // the stream cannot take text: the C stream takes it instead
    kUnencodable,   // the stream cannot encode the text as it is
    kCallerError,   // anything else (a signal handler's exception): it stands
};

bool is_stream_errno(PyObject* error) noexcept {
    PyRef number = PyRef::owned(PyObject_GetAttrString(error, "errno"));
    long value = number && PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : -1;
    PyErr_Clear();
    return value == EPIPE || value == EBADF || value == ENOSPC || value == EIO;
}

// Sorts the pending exception: only the stream's own faults are cleared.
Outcome failure() noexcept {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        PyErr_Clear();
        return kUnencodable;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return kStreamFailed;
    }
    if (!PyErr_ExceptionMatches(PyExc_OSError))
        return kCallerError;
    FetchedError error;
    if (error.value() && is_stream_errno(error.value()))
        return kStreamFailed;
    error.restore();
    return kCallerError;
}

// stream.<method>(argument...), with the method held for as long as it runs.
Outcome call(PyObject* stream, const char* method, PyObject* argument) noexcept {
    PyRef callable = PyRef::owned(PyObject_GetAttrString(stream, method));
    if (!callable)
        return failure();
    if (!PyCallable_Check(callable.get()))
        return kStreamFailed;
    PyRef done = PyRef::owned(PyObject_CallFunctionObjArgs(callable.get(), argument, NULL));
    return done ? kWritten : failure();
}

// The text with what the stream's encoding cannot take escaped. NULL with
// no exception set where the stream names no encoding that could do it.
PyObject* escaped(PyObject* stream, PyObject* text) noexcept {
    PyRef encoding = PyRef::owned(PyObject_GetAttrString(stream, "encoding"));
    if (!encoding)
        return NULL;  // AttributeError: falls back
    if (!PyUnicode_Check(encoding.get()))
        return NULL;  // None, say: str.encode would raise TypeError
    PyRef encoded = PyRef::owned(
        PyObject_CallMethod(text, "encode", "Os", encoding.get(), "backslashreplace"));
    return encoded ? PyObject_CallMethod(encoded.get(), "decode", "Os", encoding.get(), "replace")
                   : NULL;
}

Outcome write_text(PyObject* stream, PyObject* text) noexcept {
    Outcome outcome = call(stream, "write", text);
    if (outcome != kUnencodable)
        return outcome;
    PyRef plain = PyRef::owned(escaped(stream, text));
    if (plain)
        outcome = call(stream, "write", plain.get());
    else if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_LookupError))  // no usable encoding
        PyErr_Clear();
    else
        outcome = failure();  // no encoding (AttributeError) falls back as well
    // What cannot be written even escaped goes to the C stream.
    return outcome == kUnencodable ? kStreamFailed : outcome;
}

}  // namespace

bool parse_read_args(PyObject* args, Stem& stem) noexcept {
    return PyArg_ParseTuple(args, "O&", convert_stem, &stem) != 0;
}

bool parse_current_args(PyObject* args, Stem& stem, long& shift) noexcept {
    return PyArg_ParseTuple(args, "O&l", convert_stem, &stem, &shift) != 0;
}

bool parse_between_args(PyObject* args, Stem& stem, PyObject*& start, PyObject*& end) noexcept {
    return PyArg_ParseTuple(args, "O&OO", convert_stem, &stem, &start, &end) != 0;
}

const char kReadDoc[] = "read($module, channel_name, /)\n--\n\n" QUARNEL_SHARED_DOC;
const char kCurrentDoc[] = "current($module, channel_name, shift, /)\n--\n\n" QUARNEL_SHARED_DOC;
const char kBetweenDoc[] = "between($module, channel_name, start, end, /)\n--\n\n" QUARNEL_BETWEEN_DOC;

PyObject* new_start(int32_t start) noexcept {
    return PyLong_FromLong(start);
}

// wchar_t holds any character on Linux, and the stable ABI has no way to
// fill a str in place. The wide copy lives on the heap: a title-sized array
// on the stack would more than triple what a call needs there.
PyObject* new_title(const char* title, size_t length) noexcept {
    wchar_t* wide = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!wide)
        return PyErr_NoMemory();
    for (size_t i = 0; i < length; ++i)
        wide[i] = static_cast<wchar_t>(cp1251_char(static_cast<unsigned char>(title[i])));
    PyObject* text = PyUnicode_FromWideChar(wide, static_cast<Py_ssize_t>(length));
    free(wide);
    return text;
}

PyObject* raise_file_error(int err, const Stem& stem, const char* failed_suffix) noexcept {
    if (err == guide::kStopped)
        return NULL;
    if (!failed_suffix) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    PyRef name = PyRef::owned(PyBytes_FromFormat("%s%s", stem.bytes, failed_suffix));
    if (name && !stem.as_bytes)
        name.reset(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(name.get()),
                                                    PyBytes_Size(name.get())));
    if (!name)
        return NULL;
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
}

// Through sys.stdout, so the line keeps its place among print() output and
// follows redirection. The C stream takes it only when sys.stdout is missing
// or cannot take text; any other exception from the stream (a signal
// handler's, KeyboardInterrupt) ends the call. The stream is owned while it
// is used: its own write may replace sys.stdout and free it.
bool InterpreterHost::print(const char* const* pieces, bool flush) noexcept {
    PyRef stream = PyRef::borrowed(PySys_GetObject("stdout"));
    if (stream && stream.get() != Py_None) {
        PyRef bytes = PyRef::owned(joined(pieces));
        PyRef text = PyRef::owned(bytes ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(bytes.get()),
                                                                            PyBytes_Size(bytes.get()))
                                        : NULL);
        if (!text)
            return false;
        Outcome outcome = write_text(stream.get(), text.get());
        if (outcome == kWritten && flush)
            outcome = call(stream.get(), "flush", NULL) == kCallerError ? kCallerError : kWritten;
        if (outcome != kStreamFailed)
            return outcome == kWritten;
    }
    guide::print_on_stdout(pieces, flush);
    // A handler that ran while the C stream was blocked still wins.
    return PyErr_CheckSignals() == 0;
}

}  // namespace quarnel

namespace {

int exec_module(PyObject* module) noexcept {
    return PyModule_AddStringConstant(module, "__version__", QUARNEL_VERSION);
}

// Py_mod_multiple_interpreters and its Py_MOD_PER_INTERPRETER_GIL_SUPPORTED,
// fixed by the stable ABI from 3.12 on; the 3.11 headers built against stop
// at Py_mod_exec. The module keeps no state of its own, so a subinterpreter
// with a lock of its own may import it.
const int kModMultipleInterpreters = 3;
void* const kPerInterpreterGilSupported = reinterpret_cast<void*>(2);

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, NULL},
};
PyModuleDef_Slot kSlots312[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {kModMultipleInterpreters, kPerInterpreterGilSupported},
    {0, NULL},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarnel", NULL, 0, quarnel::kMethods, kSlots, NULL, NULL, NULL,
};
PyModuleDef kModule312 = {
    PyModuleDef_HEAD_INIT, "quarnel", NULL, 0, quarnel::kMethods, kSlots312, NULL, NULL, NULL,
};

// From "3.12.1 (main, ...)": Py_Version is 3.11 on, and 3.8 to 3.11 refuse a
// slot they do not know.
bool knows_interpreter_slot() noexcept {
    char* rest = NULL;
    long major = strtol(Py_GetVersion(), &rest, 10);
    long minor = *rest == '.' ? strtol(rest + 1, NULL, 10) : 0;
    return major > 3 || (major == 3 && minor >= 12);
}

}  // namespace

// The only symbol the shared object exports. A definition of each kind, not
// one patched at import: imports may run at once in subinterpreters that
// each hold a lock of their own.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarnel() {
    return PyModuleDef_Init(knows_interpreter_slot() ? &kModule312 : &kModule);
}
