// libFuzzer target over the guide file pair reader. An input is
//   [u16 index file length][3 x i32 target times][index file][data file]
// and is checked for the reader's promises: the listing yields exactly the
// entry count, every title is terminated inside its buffer, and every window
// has the size and (for ordered starts) the place it must have.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "guide/guide_pair.h"

namespace {

const size_t kHeader = 2 + 3 * 4;

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void write_file(const char* path, const uint8_t* bytes, size_t n) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(fd >= 0, "scratch file opens");
    check(write(fd, bytes, n) == static_cast<ssize_t>(n), "scratch file written");
    close(fd);
}

const char* scratch_stem() {
    static char stem[256];
    if (!stem[0]) {
        const char* tmp = getenv("TMPDIR");
        char dir[200];
        snprintf(dir, sizeof dir, "%s/quarnel-fuzz-XXXXXX", tmp ? tmp : "/tmp");
        check(mkdtemp(dir) != NULL, "scratch directory");
        snprintf(stem, sizeof stem, "%s/ch", dir);
    }
    return stem;
}

int32_t le32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

void check_window(guide::Pair& pair, const std::vector<int32_t>& starts, bool ordered,
                  int32_t target) {
    long first = -1, size = -1;
    check(guide::find_window(pair, target, first, size) == 0, "search reads without error");
    long count = pair.count;
    check(first >= 0 && first <= (count >= 2 ? count - 2 : 0), "window begins in range");
    check(size == (count - first < 3 ? count - first : 3), "window size is min(3, N - first)");
    if (ordered && count >= 2) {
        long k = -1;
        for (long i = 0; i < count; ++i)
            if (starts[i] < target)
                k = i;
        long expected = k < 0 ? 0 : (k > count - 2 ? count - 2 : k);
        check(first == expected, "ordered starts give the last entry before the target");
    }
    guide::TitleBuffer title;
    for (long j = 0; j < size; ++j) {
        int32_t start = 0;
        check(guide::read_next_entry(pair, start, title) == 0, "window entry reads");
        check(start == starts[first + j], "window entry is the listed entry");
    }
}

// The start of a range: inside the guide, and for ordered starts the last
// entry starting at or before `start` (0 when none does).
void check_range_start(guide::Pair& pair, const std::vector<int32_t>& starts, bool ordered,
                       int32_t start) {
    long first = -1;
    check(guide::find_range_start(pair, start, first) == 0, "range search reads without error");
    check(first >= 0 && first < (pair.count > 0 ? pair.count : 1), "range begins in the guide");
    if (ordered) {
        long expected = 0;
        for (long i = 0; i < pair.count; ++i)
            if (starts[i] <= start)
                expected = i;
        check(first == expected, "ordered starts give the last entry at or before the start");
    }
    if (pair.count > 0) {
        int32_t read_start = 0;
        uint32_t offset = 0;
        check(guide::read_next_record(pair, read_start, offset) == 0, "range entry reads");
        check(read_start == starts[first], "range begins at the listed entry");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t n) {
    if (n < kHeader)
        return 0;
    size_t index_len = (input[0] | input[1] << 8) % (n - kHeader + 1);
    const uint8_t* index = input + kHeader;
    const uint8_t* data = index + index_len;
    size_t data_len = n - kHeader - index_len;

    const char* stem = scratch_stem();
    char path[300];
    snprintf(path, sizeof path, "%s.ndx", stem);
    write_file(path, index, index_len);
    snprintf(path, sizeof path, "%s.pdt", stem);
    write_file(path, data, data_len);

    guide::StdoutHost host;
    guide::Pair pair(host);
    check(guide::open_pair(stem, pair) == 0, "regular files open");
    long expected_count = index_len >= 2 ? (index[0] | index[1] << 8) : index_len == 1 ? index[0] : 0;
    check(pair.count == expected_count, "entry count is the first two bytes");

    // Entries past the end of the index all read alike (zeroes); listing a
    // few of them is enough and keeps a mutated count from costing 400k
    // system calls per input.
    long records = index_len >= 2 ? static_cast<long>((index_len - 2 + 11) / 12) : 0;
    long listed = pair.count < records + 64 ? pair.count : records + 64;
    std::vector<int32_t> starts;
    guide::TitleBuffer title;
    bool ordered = listed == pair.count;
    for (long i = 0; i < listed; ++i) {
        int32_t start = 0;
        memset(title, 0xAA, sizeof title);
        check(guide::read_next_entry(pair, start, title) == 0, "listing reads without error");
        const char* end = static_cast<const char*>(memchr(title, 0, sizeof title));
        check(end != NULL && end - title <= 4999, "title is terminated within 4999 bytes");
        if (!starts.empty() && start < starts.back())
            ordered = false;
        starts.push_back(start);
    }
    check(static_cast<long>(starts.size()) == listed, "listing returns every entry");
    starts.resize(pair.count, guide::start_time_from_filetime(0));

    std::vector<int32_t> targets;
    for (int t = 0; t < 3; ++t)
        targets.push_back(le32(input + 2 + 4 * t));
    if (!starts.empty()) {
        targets.push_back(starts[starts.size() / 2]);
        targets.push_back(starts.back());
    }
    for (size_t t = 0; t < targets.size(); ++t) {
        check_window(pair, starts, ordered, targets[t]);
        check_range_start(pair, starts, ordered, targets[t]);
    }
    guide::close_pair(pair);
    return 0;
}
