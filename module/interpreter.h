// What differs between Python 2 and Python 3, in one place: the arguments,
// the objects an entry is made of, the file error and where the reader's
// messages go. Exactly one of python2.cpp and python3.cpp is built, and with
// it the module's init function; the methods are written once over this.
#ifndef QUARNEL_MODULE_INTERPRETER_H
#define QUARNEL_MODULE_INTERPRETER_H

#include <Python.h>

#include "guide/guide_pair.h"
#include "module/py_ref.h"

// The docstrings' text, the same in both interpreters.
#define QUARNEL_SHARED_DOC "Return epg tuples from ndx+pdt files. Usage quarnel.read(channel_name)."
#define QUARNEL_BETWEEN_DOC                                                                       \
    "Return the epg tuples on air at any moment from start up to, not including, end "           \
    "(Unix seconds) from ndx+pdt files. Usage quarnel.between(channel_name, start, end)."

namespace quarnel {

// The channel argument as the path stem the reader opens, kept for the call.
struct Stem {
    const char* bytes = NULL;
    PyRef encoded;          // Python 3: the argument in the file system encoding
    bool as_bytes = false;  // Python 3: the caller named the channel with bytes
};

// read(channel_name) and current(channel_name, shift), positional only; on
// failure the interpreter's argument error is pending.
bool parse_read_args(PyObject* args, Stem& stem) noexcept;
bool parse_current_args(PyObject* args, Stem& stem, long& shift) noexcept;
// between(channel_name, start, end): the range as objects, checked by the caller.
bool parse_between_args(PyObject* args, Stem& stem, PyObject*& start, PyObject*& end) noexcept;

// The two items of an entry tuple; the title is `length` bytes of cp1251.
PyObject* new_start(int32_t start) noexcept;
PyObject* new_title(const char* title, size_t length) noexcept;

// The docstring of `between`, and the shared one of `read` and `current`,
// each behind the signature Python 3 reads from it (Python 2 shows none).
extern const char kBetweenDoc[];
extern const char kReadDoc[];
extern const char kCurrentDoc[];

// Raises the interpreter's error for a failed file call and returns NULL;
// for guide::kStopped the signal handler's error already stands.
PyObject* raise_file_error(int err, const Stem& stem, const char* failed_suffix) noexcept;

// The reader's host, as the interpreter treats its own file I/O: after EINTR
// the pending signal handlers run, and the call goes on only if none of them
// raised (so Ctrl-C and alarms end a blocked call).
class InterpreterHost : public guide::Host {
public:
    bool go_on_after_interrupt() noexcept override { return PyErr_CheckSignals() == 0; }
    bool print(const char* const* pieces, bool flush) noexcept override;
};

}  // namespace quarnel

#endif
