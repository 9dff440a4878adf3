// Reader for one channel's guide file pair: "<stem>.ndx" (entry count and
// 12-byte index records) and "<stem>.pdt" (titles the records point at).
//
// Plain C++ over POSIX, free of the interpreter, so it can be tested and
// fuzzed on its own. Whatever runs it supplies a Host: it decides whether an
// interrupted system call goes on, and it puts the two messages where its
// users look for them.
#ifndef QUARNEL_GUIDE_GUIDE_PAIR_H
#define QUARNEL_GUIDE_GUIDE_PAIR_H

#include <stddef.h>
#include <stdint.h>

namespace guide {

// Room for the longest title text plus its terminating zero; longer stored
// titles are cut to kTitleBufferSize - 1 bytes.
const size_t kTitleBufferSize = 5000;
typedef char TitleBuffer[kTitleBufferSize];

const long kIndexRecordSize = 12;
const long kIndexHeaderSize = 2;

// Every operation returns 0, the errno of the call that failed (its message
// already given to the host), or kStopped: the host chose to give up, and
// its own reason is what the caller reports. Nothing is printed then.
const int kStopped = -1;

class Host {
public:
    // A system call failed with EINTR: true to make it again, false to stop.
    virtual bool go_on_after_interrupt() noexcept = 0;
    // One message, given as consecutive pieces ending with NULL, so a name
    // of any length needs no buffer; `flush` after an open failure. False
    // when the host has its own error pending, which must win.
    virtual bool print(const char* const* pieces, bool flush) noexcept = 0;

protected:
    ~Host() {}
};

// Writes a message's pieces on the C library's standard output; true.
bool print_on_stdout(const char* const* pieces, bool flush) noexcept;

// For programs without an interpreter: messages on the C library's standard
// output, and interrupted calls always made again.
class StdoutHost : public Host {
public:
    bool go_on_after_interrupt() noexcept override { return true; }
    bool print(const char* const* pieces, bool flush) noexcept override {
        return print_on_stdout(pieces, flush);
    }
};

// One owned read-only descriptor, closed when it goes out of scope.
class Descriptor {
public:
    Descriptor() noexcept : fd_(-1) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    void reset(int fd) noexcept;
    // Leaves errno as it found it, so a pending failure keeps its number.
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    void close() noexcept;

private:
    int fd_;
};

extern const char kIndexSuffix[];  // ".ndx"
extern const char kDataSuffix[];   // ".pdt"

struct Pair {
    explicit Pair(Host& h) noexcept : host(h) {}
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    Host& host;
    Descriptor index;
    Descriptor data;
    long count = 0;  // entry count, 0 ... 65535
    // The suffix of the file whose call failed (kIndexSuffix or kDataSuffix),
    // NULL while nothing has; the caller names that file in its error.
    const char* failed_suffix = NULL;
};

// Windows FILETIME (100 ns since 1601) to signed 32-bit Unix seconds,
// wrapping modulo 2^32 outside that range.
int32_t start_time_from_filetime(int64_t filetime) noexcept;

// Opens "<stem>.ndx" then "<stem>.pdt" and reads the entry count. On failure
// nothing is left open.
int open_pair(const char* stem, Pair& pair) noexcept;

// Moves the index file to the record of entry i.
int seek_entry(Pair& pair, long i) noexcept;

// Reads the record at the index file's position and its title; the title is
// zero-terminated in `title`. Bytes missing at the end of a file read as 0.
int read_next_entry(Pair& pair, int32_t& start, TitleBuffer& title) noexcept;

// The two halves of read_next_entry, for a caller that decides from the
// start whether it wants the title, or shares titles by their offset: the
// record at the index file's position, then the title record at `offset`
// (`length` is the title's length up to its first zero byte).
int read_next_record(Pair& pair, int32_t& start, uint32_t& offset) noexcept;
int read_title(Pair& pair, uint32_t offset, TitleBuffer& title, size_t& length) noexcept;

// Reads only the start time of entry i; the index position is left inside
// the record, so seek before reading entries again.
int read_start_time(Pair& pair, long i, int32_t& start) noexcept;

// Finds where the window for `target` begins: the last entry starting
// strictly before it, kept within 0 ... count - 2 (0 for fewer than two
// entries), by binary search over the start times; entries 0 and count - 1
// are never read. Leaves the index file at entry `first`; `size` is how many
// entries the window holds (up to three).
int find_window(Pair& pair, int32_t target, long& first, long& size) noexcept;

// Finds where the entries on air in a range beginning at `start` begin: the
// last entry starting at or before it (0 if none does), by halving
// 0 ... count over the start times (mid rounded down; an entry at or before
// `start` moves the low end past it). Leaves the index file at `first`.
int find_range_start(Pair& pair, int32_t start, long& first) noexcept;

// Closes the index file, then the data file.
void close_pair(Pair& pair) noexcept;

}  // namespace guide

#endif
