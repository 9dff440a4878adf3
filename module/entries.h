// Entry tuples (start, title) and the plumbing both methods share.
#ifndef QUARNEL_MODULE_ENTRIES_H
#define QUARNEL_MODULE_ENTRIES_H

#include "module/interpreter.h"

namespace quarnel {

// Reads n consecutive entries from the index file's position into a new
// tuple. Returns NULL either with `file_error` set (an errno, nothing raised
// yet, or guide::kStopped) or with the interpreter's own error pending.
PyObject* read_entries(guide::Pair& pair, long n, int& file_error) noexcept;

// Closes the pair, then either returns `result` or raises the file error
// (so the exception carries the number of the failed call and its file).
PyObject* finish(guide::Pair& pair, const Stem& stem, PyObject* result, int file_error) noexcept;

}  // namespace quarnel

#endif
