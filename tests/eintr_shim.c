/* Preloaded into a test's child interpreter: every read() and lseek() of a
 * guide file (a name ending in .ndx or .pdt) fails once with EINTR before
 * it is let through, as a signal arriving at the wrong moment would make
 * it. Linux never interrupts lseek on a regular file, so only this shows
 * whether a reader makes that call again. With QUARNEL_SHIM_EIO set to
 * "N ...", instead the Nth read of a guide file since the variable last
 * changed fails with EIO, as a failing disk would. The real calls go
 * straight to the kernel: dlsym would bind a C library newer than some
 * tested interpreters bring. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int is_guide_file(int fd) {
    char link[64], name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = syscall(SYS_readlinkat, AT_FDCWD, link, name, sizeof name - 1);
    if (n < 4)
        return 0;
    name[n] = '\0';
    return strcmp(name + n - 4, ".ndx") == 0 || strcmp(name + n - 4, ".pdt") == 0;
}

/* Alternates per descriptor: the first attempt fails, the retry succeeds. */
static int interrupt_now(int fd) {
    static unsigned char pending[1024];
    if (fd < 0 || fd >= (int)sizeof pending || !is_guide_file(fd))
        return 0;
    pending[fd] ^= 1;
    if (!pending[fd])
        return 0;
    errno = EINTR;
    return 1;
}

/* Whether this read is the one QUARNEL_SHIM_EIO names; -1 when unset. */
static int fail_now(int fd) {
    static char seen[64];
    static long reads;
    const char* value = getenv("QUARNEL_SHIM_EIO");
    if (!value)
        return -1;
    if (strncmp(value, seen, sizeof seen - 1) != 0) {
        snprintf(seen, sizeof seen, "%s", value);
        reads = 0;
    }
    return is_guide_file(fd) && ++reads == atol(value);
}

ssize_t read(int fd, void* buf, size_t n) {
    int failing = fail_now(fd);
    if (failing == 1)
        errno = EIO;
    if (failing == 1 || (failing < 0 && interrupt_now(fd)))
        return -1;
    return syscall(SYS_read, fd, buf, n);
}

static long long real_lseek(int fd, long long offset, int whence) {
#if defined(SYS__llseek) && __SIZEOF_LONG__ == 4
    long long result;
    if (syscall(SYS__llseek, fd, (unsigned long)((unsigned long long)offset >> 32), (unsigned long)offset,
                &result, whence) < 0)
        return -1;
    return result;
#else
    return syscall(SYS_lseek, fd, (long)offset, whence);
#endif
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    return !getenv("QUARNEL_SHIM_EIO") && interrupt_now(fd) ? -1 : real_lseek(fd, offset, whence);
}

off_t lseek(int fd, off_t offset, int whence) {
    return !getenv("QUARNEL_SHIM_EIO") && interrupt_now(fd) ? -1 : (off_t)real_lseek(fd, offset, whence);
}
