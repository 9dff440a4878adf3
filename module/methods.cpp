// The module's methods, read, current and between, written once over
// interpreter.h for Python 2 and 3, and their table. One error channel: an
// exception is set where a call fails and NULL comes back from there.
#include "module/methods.h"

#include <time.h>

#include "module/interpreter.h"
#include "module/titles.h"

namespace quarnel {
namespace {

// One call's channel: the pair opened on the stem and closed on every path.
// A file error closes the pair before it is raised, after the reader's own
// message ("Can't open file", "Read error!") has gone out.
class Channel {
public:
    explicit Channel(const Stem& stem) noexcept : stem_(stem), pair_(host_) {}
    ~Channel() { guide::close_pair(pair_); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Opens the pair and reads its count; false with the file error raised.
    bool open() noexcept {
        int err = guide::open_pair(stem_.bytes, pair_);
        if (err)
            fail(err);
        return err == 0;
    }
    // Closes the pair and raises the error of a failed file call (for
    // guide::kStopped, a signal handler's exception already stands).
    PyObject* fail(int err) noexcept {
        guide::close_pair(pair_);
        return raise_file_error(err, stem_, pair_.failed_suffix);
    }
    guide::Pair& pair() noexcept { return pair_; }

private:
    const Stem& stem_;
    InterpreterHost host_;
    guide::Pair pair_;
};

// The entry whose record gave `start` and `offset`: its title read now, the
// object shared with earlier entries of the call where the bytes are the
// same. The items are made first: making them can run Python code (the
// collector's callbacks), which must never meet a tuple with an empty slot.
PyObject* entry_at(Channel& channel, TitleCache& titles, int32_t start, uint32_t offset) noexcept {
    guide::TitleBuffer title;
    size_t length = 0;
    int err = guide::read_title(channel.pair(), offset, title, length);
    if (err)
        return channel.fail(err);
    PyRef number = PyRef::owned(new_start(start));
    PyRef text = PyRef::owned(number ? titles.title(offset, title, length) : NULL);
    if (!text)
        return NULL;
    PyRef tuple = PyRef::owned(PyTuple_New(2));
    if (!tuple || PyTuple_SetItem(tuple.get(), 0, number.release()) != 0 ||
        PyTuple_SetItem(tuple.get(), 1, text.release()) != 0)
        return NULL;
    // An int and a text can never form a cycle: keeping 65535 such tuples
    // off the collector's lists saves it walking them again and again.
    PyObject_GC_UnTrack(tuple.get());
    return tuple.release();
}

// n consecutive entries from the index file's position, as a new tuple.
PyObject* read_entries(Channel& channel, long n) noexcept {
    PyRef result = PyRef::owned(PyTuple_New(n));
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
        int err = guide::read_next_record(channel.pair(), start, offset);
        if (err)
            return channel.fail(err);
        PyObject* entry = entry_at(channel, titles, start, offset);
        if (!entry || PyTuple_SetItem(result.get(), i, entry) != 0)
            return NULL;
    }
    return result.release();
}

// The entries from the index file's position (entry `first`) up to, not
// including, the first later one starting at or after `end`; entry `first`
// only if it starts before `end`.
PyObject* read_range(Channel& channel, long first, int32_t end) noexcept {
    // A list has no empty slots to be seen while it grows.
    PyRef entries = PyRef::owned(PyList_New(0));
    if (!entries)
        return NULL;
    TitleCache titles;
    for (long i = first; i < channel.pair().count; ++i) {
        int32_t start = 0;
        uint32_t offset = 0;
        int err = guide::read_next_record(channel.pair(), start, offset);
        if (err)
            return channel.fail(err);
        if (start >= end) {
            if (i == first)
                continue;
            break;
        }
        PyRef entry = PyRef::owned(entry_at(channel, titles, start, offset));
        if (!entry || PyList_Append(entries.get(), entry.get()) != 0)
            return NULL;
    }
    PyObject* result = PyList_AsTuple(entries.get());
    if (result)
        PyObject_GC_UnTrack(result);
    return result;
}

// Unix seconds as operator.index takes them, on the signed 32-bit scale of
// the start times: TypeError for anything that is no index, OverflowError
// outside it.
bool as_time(PyObject* value, int32_t& seconds) noexcept {
    PyRef index = PyRef::owned(PyNumber_Index(value));
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

// now + shift as signed 32-bit values, wrapping like the start times do.
int32_t target_time(time_t now, long shift) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(shift));
}

// read(channel_name): every entry of the channel.
PyObject* read_method(PyObject*, PyObject* args) noexcept {
    Stem stem;
    if (!parse_read_args(args, stem))
        return NULL;
    Channel channel(stem);
    if (!channel.open())
        return NULL;
    return read_entries(channel, channel.pair().count);
}

// current(channel_name, shift): the entry on at now + shift and up to two after.
PyObject* current_method(PyObject*, PyObject* args) noexcept {
    Stem stem;
    long shift = 0;
    if (!parse_current_args(args, stem, shift))
        return NULL;
    Channel channel(stem);
    if (!channel.open())
        return NULL;
    long first = 0;
    long size = 0;
    int err = guide::find_window(channel.pair(), target_time(time(NULL), shift), first, size);
    return err ? channel.fail(err) : read_entries(channel, size);
}

// between(channel_name, start, end): the entries on air in [start, end).
PyObject* between_method(PyObject*, PyObject* args) noexcept {
    Stem stem;
    PyObject* start_arg = NULL;
    PyObject* end_arg = NULL;
    int32_t start = 0;
    int32_t end = 0;
    if (!parse_between_args(args, stem, start_arg, end_arg) || !as_time(start_arg, start) ||
        !as_time(end_arg, end))
        return NULL;
    Channel channel(stem);
    if (!channel.open())
        return NULL;
    if (end <= start || channel.pair().count == 0)
        return PyTuple_New(0);
    long first = 0;
    int err = guide::find_range_start(channel.pair(), start, first);
    return err ? channel.fail(err) : read_range(channel, first, end);
}

}  // namespace

PyMethodDef kMethods[] = {
    {"read", read_method, METH_VARARGS, kReadDoc},
    {"current", current_method, METH_VARARGS, kCurrentDoc},
    {"between", between_method, METH_VARARGS, kBetweenDoc},
    {NULL, NULL, 0, NULL},
};

}  // namespace quarnel
