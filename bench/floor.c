/* The floor for the benchmark: exactly the system calls that quarnel makes
 * for read and current on a guide pair (open both, the count, the per-entry
 * reads and seeks, close), with no interpreter objects at all.
 * Usage: floor STEM read|current ITERATIONS [TARGET]
 * Prints nanoseconds per call and the entries the last call returned. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char title[5000];

static unsigned u16(int fd) {
    unsigned char b[2] = {0, 0};
    if (read(fd, b, 2) < 0)
        exit(2);
    return b[0] | b[1] << 8;
}

static int32_t start_field(int fd) {
    unsigned char skip[2], b[8] = {0};
    int64_t v = 0;
    int i;
    if (read(fd, skip, 2) < 0 || read(fd, b, 8) < 0)
        exit(2);
    for (i = 7; i >= 0; --i)
        v = (int64_t)((uint64_t)v << 8 | b[i]);
    return (int32_t)((uint32_t)(uint64_t)(v / 10000000) + 1240428288u);
}

static long entry(int ndx, int pdt) {
    unsigned offset, len;
    long sum = start_field(ndx);
    offset = u16(ndx);
    if (lseek64(pdt, offset, SEEK_SET) < 0)
        exit(2);
    len = u16(pdt);
    if (len > sizeof title - 1)
        len = sizeof title - 1;
    if (len > 0 && read(pdt, title, len) < 0)
        exit(2);
    return sum + len;
}

static long one_call(const char* ndx_name, const char* pdt_name, int current, int32_t target,
                     long* entries) {
    int ndx = open64(ndx_name, O_RDONLY), pdt = open64(pdt_name, O_RDONLY);
    long count, first = 0, n, i, sum = 0;
    if (ndx < 0 || pdt < 0)
        exit(2);
    count = u16(ndx);
    n = count;
    if (current) {
        long low = 0, high = count - 1;
        while (high - low >= 2) {
            long mid = low + (high - low) / 2;
            if (lseek64(ndx, 2 + 12 * mid, SEEK_SET) < 0)
                exit(2);
            if (start_field(ndx) < target)
                low = mid;
            else
                high = mid;
        }
        first = low;
        if (lseek64(ndx, 2 + 12 * first, SEEK_SET) < 0)
            exit(2);
        n = first + 2 < count ? 3 : count - first;
    }
    for (i = 0; i < n; ++i)
        sum += entry(ndx, pdt);
    close(ndx);
    close(pdt);
    *entries = n;
    return sum;
}

int main(int argc, char** argv) {
    char ndx[4096], pdt[4096];
    struct timespec t0, t1;
    long iterations, i, entries = 0, sum = 0;
    int current;
    int32_t target;
    if (argc < 4)
        return 1;
    snprintf(ndx, sizeof ndx, "%s.ndx", argv[1]);
    snprintf(pdt, sizeof pdt, "%s.pdt", argv[1]);
    current = strcmp(argv[2], "current") == 0;
    iterations = atol(argv[3]);
    target = argc > 4 ? (int32_t)atol(argv[4]) : (int32_t)time(NULL);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (i = 0; i < iterations; ++i)
        sum += one_call(ndx, pdt, current, target, &entries);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%.0f %ld %ld\n",
           ((t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec)) / iterations, entries, sum);
    return 0;
}
