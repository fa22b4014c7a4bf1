/* Loaded with LD_PRELOAD into the service. MEREL_STALL_AT names the step at which the process
 * stops for good, after creating the file MEREL_STALL_MARKER to say it got there:
 *   write    half of the new settings text is written
 *   rename   the new file is complete and about to replace SMSMgr.ini
 *   renamed  the new file has just replaced SMSMgr.ini
 * Without MEREL_STALL_AT every call goes straight through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef int (*rename_fn)(const char*, const char*);

static int step_is(const char* step) {
    const char* at = getenv("MEREL_STALL_AT");
    return at != NULL && strcmp(at, step) == 0;
}

static int ends_with(const char* text, const char* end) {
    const size_t n = strlen(text), m = strlen(end);
    return n >= m && strcmp(text + n - m, end) == 0;
}

/* SMSMgr.ini itself or a file named after it beside it: whichever the new text is written to. */
static int is_settings_file(int fd) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = '\0';
    return strstr(path, "/SMSMgr.ini") != NULL;
}

static _Noreturn void stall(void) {
    const char* marker = getenv("MEREL_STALL_MARKER");
    if (marker != NULL) {
        const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    for (;;) pause();
}

/* dlsym's object pointer taken as a function pointer, the way POSIX describes it. */
static void* next(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

static ssize_t stalling_pwrite(void* real, int fd, const void* data, size_t size, off_t offset) {
    pwrite_fn call;
    if (real == NULL) return -1;
    memcpy(&call, &real, sizeof call);
    if (!step_is("write") || size < 2 || !is_settings_file(fd)) {
        return call(fd, data, size, offset);
    }
    call(fd, data, size / 2, offset);
    stall();
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static void* real;
    if (real == NULL) real = next("pwrite");
    return stalling_pwrite(real, fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static void* real;
    if (real == NULL) real = next("pwrite64");
    return stalling_pwrite(real, fd, data, size, offset);
}

int rename(const char* from, const char* to) {
    static void* real;
    rename_fn call;
    int result;
    if (real == NULL) real = next("rename");
    if (real == NULL) return -1;
    memcpy(&call, &real, sizeof call);
    if (!ends_with(to, "SMSMgr.ini")) return call(from, to);
    if (step_is("rename")) stall();
    result = call(from, to);
    if (step_is("renamed")) stall();
    return result;
}
