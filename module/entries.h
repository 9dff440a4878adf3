// Entry tuples (start, title) and the plumbing both methods share.
#ifndef QUARNEL_MODULE_ENTRIES_H
#define QUARNEL_MODULE_ENTRIES_H

#include <Python.h>

#include "guide/guide_pair.h"

namespace quarnel {

// The reader's host in the interpreter, as the interpreter treats its own
// file I/O: after EINTR the pending signal handlers run, and the call goes on
// only if none of them raised (so Ctrl-C and alarms end a blocked call).
class InterpreterHost : public guide::StdoutHost {
public:
    bool go_on_after_interrupt() noexcept override { return PyErr_CheckSignals() == 0; }
};

// New (start, title) tuple, the title decoded from cp1251; NULL with the
// interpreter's error pending if an object cannot be made.
PyObject* entry_tuple(int32_t start, const char* title) noexcept;

// Reads n consecutive entries from the index file's position into a new
// tuple. Returns NULL either with `file_error` set to an errno (nothing
// raised yet) or with the interpreter's own error pending (`file_error` 0
// or guide::kStopped).
PyObject* read_entries(guide::Pair& pair, long n, int& file_error) noexcept;

// Closes the pair, then either returns `result`, raises IOError from
// `file_error` (so the exception carries the number of the failed call), or
// leaves the error a signal handler raised.
PyObject* finish(guide::Pair& pair, PyObject* result, int file_error) noexcept;

// Raises IOError from an errno (or leaves a handler's error) and returns NULL.
PyObject* raise_file_error(int file_error) noexcept;

}  // namespace quarnel

#endif
