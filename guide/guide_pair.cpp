#include "guide/guide_pair.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// A test build takes the path of C libraries that lack O_CLOEXEC.
#ifdef QUARNEL_TEST_WITHOUT_O_CLOEXEC
#undef O_CLOEXEC
#endif

namespace guide {
namespace {

// Seconds from 1601-01-01 to 1970-01-01 (-11644473600) reduced modulo 2^32.
const uint32_t kEpochShift = 1240428288u;
const int64_t kFiletimeTicksPerSecond = 10000000;

// "<stem><suffix>" in a call-owned buffer: the usual stems fit on the stack,
// longer ones get a heap buffer of their own size rather than being refused.
class FileName {
public:
    FileName(const char* stem, const char* suffix) noexcept : heap_(NULL), str_(NULL) {
        size_t stem_len = strlen(stem);
        size_t suffix_len = strlen(suffix);
        size_t size = stem_len + suffix_len + 1;
        char* buf = small_;
        if (size > sizeof small_) {
            heap_ = static_cast<char*>(malloc(size));
            if (!heap_)
                return;
            buf = heap_;
        }
        memcpy(buf, stem, stem_len);
        memcpy(buf + stem_len, suffix, suffix_len + 1);
        str_ = buf;
    }
    ~FileName() { free(heap_); }
    FileName(const FileName&) = delete;
    FileName& operator=(const FileName&) = delete;

    // NULL when the name could not be formed.
    const char* c_str() const noexcept { return str_; }

private:
    char small_[152];
    char* heap_;
    const char* str_;
};

// Makes a system call again while it fails with EINTR and the host lets it;
// returns its result, or -1 with `status` set to the errno or kStopped.
template <typename Call>
auto retrying(Host& host, int& status, Call call) noexcept -> decltype(call()) {
    for (;;) {
        auto r = call();
        if (r >= 0)
            return r;
        status = errno;
        if (status != EINTR)
            return r;
        if (!host.go_on_after_interrupt()) {
            status = kStopped;
            return r;
        }
    }
}

uint32_t le16(const unsigned char* p) noexcept {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

int64_t le64(const unsigned char* p) noexcept {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return static_cast<int64_t>(v);
}

// Reads up to n bytes; whatever does not arrive before end of file keeps the
// caller's zeroes. A short read is followed by another until end of file.
int read_field(Pair& pair, int fd, void* buf, size_t n, size_t* got_out = NULL) noexcept {
    size_t got = 0;
    while (got < n) {
        int status = 0;
        ssize_t r = retrying(pair.host, status, [&] {
            return ::read(fd, static_cast<char*>(buf) + got, n - got);
        });
        if (r < 0)
            return status;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    if (got_out)
        *got_out = got;
    return 0;
}

int read_u16(Pair& pair, int fd, uint32_t& value) noexcept {
    unsigned char b[2] = {0, 0};
    int err = read_field(pair, fd, b, sizeof b);
    value = le16(b);
    return err;
}

int seek_to(Pair& pair, int fd, long offset) noexcept {
    int status = 0;
    return retrying(pair.host, status, [&] { return lseek64(fd, offset, SEEK_SET); }) < 0 ? status : 0;
}

// Gives "Read error!" for a failed call (not for a stop, which is silent)
// and remembers which file it was.
int report_read_error(Pair& pair, int err, const char* suffix) noexcept {
    if (err == 0 || err == kStopped)
        return err;
    pair.failed_suffix = suffix;
    static const char* const message[] = {"Read error!\n", NULL};
    return pair.host.print(message, false) ? err : kStopped;
}

// The first two fields of an index record: skipped bytes, then the start.
int read_record_start(Pair& pair, int32_t& start) noexcept {
    unsigned char skipped[2];
    unsigned char field[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int err = read_field(pair, pair.index.get(), skipped, sizeof skipped);
    if (!err)
        err = read_field(pair, pair.index.get(), field, sizeof field);
    start = start_time_from_filetime(le64(field));
    return err;
}

// Close-on-exec: a child started while a call waits (from a signal handler,
// or from another thread, which needs no interpreter lock) must not inherit
// the pair. Without O_CLOEXEC a fork between the open and the fcntl still
// can, which such a C library leaves no way to prevent.
int open_no_inherit(const char* name) noexcept {
#ifdef O_CLOEXEC
    return open64(name, O_RDONLY | O_CLOEXEC);
#else
    int fd = open64(name, O_RDONLY);
    if (fd >= 0)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

int open_read_only(Pair& pair, const char* stem, const char* suffix, Descriptor& out) noexcept {
    FileName name(stem, suffix);
    int status = ENOMEM;
    int fd = -1;
    if (name.c_str())
        fd = retrying(pair.host, status, [&] { return open_no_inherit(name.c_str()); });
    if (fd >= 0) {
        out.reset(fd);
        return 0;
    }
    if (status == kStopped)
        return status;
    pair.failed_suffix = suffix;
    char number[16];
    snprintf(number, sizeof number, "%d", status);
    const char* const message[] = {"Can't open file ", stem, suffix, " errno", number, "\n", NULL};
    return pair.host.print(message, true) ? status : kStopped;
}

}  // namespace

void Descriptor::reset(int fd) noexcept {
    close();
    fd_ = fd;
}

void Descriptor::close() noexcept {
    if (fd_ < 0)
        return;
    int saved = errno;
    ::close(fd_);
    fd_ = -1;
    errno = saved;
}

int32_t start_time_from_filetime(int64_t filetime) noexcept {
    int64_t seconds = filetime / kFiletimeTicksPerSecond;  // truncates toward zero
    uint32_t unix_seconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds)) + kEpochShift;
    return static_cast<int32_t>(unix_seconds);
}

bool print_on_stdout(const char* const* pieces, bool flush) noexcept {
    for (; *pieces; ++pieces)
        fputs(*pieces, stdout);
    if (flush)
        fflush(stdout);
    return true;
}

const char kIndexSuffix[] = ".ndx";
const char kDataSuffix[] = ".pdt";

int open_pair(const char* stem, Pair& pair) noexcept {
    pair.count = 0;
    pair.failed_suffix = NULL;
    int err = open_read_only(pair, stem, kIndexSuffix, pair.index);
    if (err)
        return err;
    err = open_read_only(pair, stem, kDataSuffix, pair.data);
    if (!err) {
        uint32_t count = 0;
        err = report_read_error(pair, read_u16(pair, pair.index.get(), count), kIndexSuffix);
        pair.count = static_cast<long>(count);
    }
    if (err)
        close_pair(pair);
    return err;
}

int seek_entry(Pair& pair, long i) noexcept {
    int err = seek_to(pair, pair.index.get(), kIndexHeaderSize + kIndexRecordSize * i);
    return report_read_error(pair, err, kIndexSuffix);
}

int read_next_record(Pair& pair, int32_t& start, uint32_t& offset) noexcept {
    offset = 0;
    int err = read_record_start(pair, start);
    if (!err)
        err = read_u16(pair, pair.index.get(), offset);
    return report_read_error(pair, err, kIndexSuffix);
}

int read_title(Pair& pair, uint32_t offset, TitleBuffer& title, size_t& length) noexcept {
    title[0] = '\0';
    length = 0;
    uint32_t stored = 0;
    int err = seek_to(pair, pair.data.get(), static_cast<long>(offset));
    if (!err)
        err = read_u16(pair, pair.data.get(), stored);
    if (!err && stored > 0) {
        size_t want = stored < kTitleBufferSize ? stored : kTitleBufferSize - 1;
        size_t got = 0;
        err = read_field(pair, pair.data.get(), title, want, &got);
        title[got] = '\0';
        length = strlen(title);
    }
    return report_read_error(pair, err, kDataSuffix);
}

int read_next_entry(Pair& pair, int32_t& start, TitleBuffer& title) noexcept {
    title[0] = '\0';
    uint32_t offset = 0;
    size_t length = 0;
    int err = read_next_record(pair, start, offset);
    return err ? err : read_title(pair, offset, title, length);
}

int read_start_time(Pair& pair, long i, int32_t& start) noexcept {
    int err = seek_to(pair, pair.index.get(), kIndexHeaderSize + kIndexRecordSize * i);
    if (!err)
        err = read_record_start(pair, start);
    return report_read_error(pair, err, kIndexSuffix);
}

int find_window(Pair& pair, int32_t target, long& first, long& size) noexcept {
    long low = 0;
    long high = pair.count - 1;
    while (high - low >= 2) {
        long mid = low + (high - low) / 2;  // (low + high) / 2 could overflow
        int32_t start = 0;
        int err = read_start_time(pair, mid, start);
        if (err)
            return err;
        if (start < target)
            low = mid;
        else
            high = mid;
    }
    first = low;
    size = first + 2 < pair.count ? 3 : pair.count - first;
    return seek_entry(pair, first);
}

int find_range_start(Pair& pair, int32_t start, long& first) noexcept {
    long low = 0;
    long high = pair.count;
    while (low < high) {
        long mid = low + (high - low) / 2;  // (low + high) / 2 could overflow
        int32_t mid_start = 0;
        int err = read_start_time(pair, mid, mid_start);
        if (err)
            return err;
        if (mid_start <= start)
            low = mid + 1;
        else
            high = mid;
    }
    first = low > 0 ? low - 1 : 0;
    return seek_entry(pair, first);
}

void close_pair(Pair& pair) noexcept {
    pair.index.close();
    pair.data.close();
}

}  // namespace guide
