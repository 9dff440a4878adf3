// Entry tuples (start, title) and the plumbing the methods share.
#ifndef QUARNEL_MODULE_ENTRIES_H
#define QUARNEL_MODULE_ENTRIES_H

#include "module/interpreter.h"

namespace quarnel {

// Opens the channel's pair and reads its count; false with the file error
// raised (or a signal handler's own pending).
bool open_channel(const Stem& stem, guide::Pair& pair) noexcept;

// Reads n consecutive entries from the index file's position into a new
// tuple. Returns NULL either with `file_error` set (an errno, nothing raised
// yet, or guide::kStopped) or with the interpreter's own error pending.
PyObject* read_entries(guide::Pair& pair, long n, int& file_error) noexcept;

// Reads entries from the index file's position (entry `first`) up to, not
// including, the first later one starting at or after `end`; entry `first`
// only if it starts before `end`. Errors as for read_entries.
PyObject* read_range(guide::Pair& pair, long first, int32_t end, int& file_error) noexcept;

// Unix seconds as operator.index takes them, on the signed 32-bit scale of
// the start times: TypeError for anything that is no index, OverflowError
// outside it.
bool as_time(PyObject* value, int32_t& seconds) noexcept;

// Closes the pair, then either returns `result` or raises the file error
// (so the exception carries the number of the failed call and its file).
PyObject* finish(guide::Pair& pair, const Stem& stem, PyObject* result, int file_error) noexcept;

}  // namespace quarnel

#endif
