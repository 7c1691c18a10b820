/* Preloaded into the tester: once the report RptZq_*.Txt is written (closed under its name or
 * renamed to it), every malloc fails, as when memory runs out between the report and the log.
 * The file named by ZQ_FAILING_MALLOC_MARK is made then, so a test knows the failures began. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>

void* __libc_malloc(size_t size);

static atomic_int failing;
static atomic_int reportFd = -1;
static int (*realOpen)(const char*, int, ...);
static int (*realClose)(int);
static int (*realRename)(const char*, const char*);

static int IsReport(const char* path) {
    const char* name = strrchr(path, '/') != NULL ? strrchr(path, '/') + 1 : path;
    const size_t n = strlen(name);
    return strncmp(name, "RptZq_", 6) == 0 && n > 10 && strcmp(name + n - 4, ".Txt") == 0;
}

static void StartFailing(void) {
    const char* mark = getenv("ZQ_FAILING_MALLOC_MARK");
    if (!atomic_exchange(&failing, 1) && mark != NULL && realOpen != NULL && realClose != NULL)
        realClose(realOpen(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
}

void* malloc(size_t size) {
    if (!atomic_load(&failing))
        return __libc_malloc(size);
    errno = ENOMEM;
    return NULL;
}

int open(const char* path, int flags, ...) {
    if (realOpen == NULL)
        realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    va_list args;
    va_start(args, flags);
    const int mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, int) : 0;
    va_end(args);
    const int fd = realOpen(path, flags, mode);
    if (fd >= 0 && IsReport(path))
        atomic_store(&reportFd, fd);
    return fd;
}

int close(int fd) {
    if (realClose == NULL)
        realClose = (int (*)(int))dlsym(RTLD_NEXT, "close");
    const int result = realClose(fd);
    if (fd >= 0 && atomic_load(&reportFd) == fd)
        StartFailing();
    return result;
}

int rename(const char* from, const char* to) {
    if (realRename == NULL)
        realRename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    const int result = realRename(from, to);
    if (result == 0 && IsReport(to))
        StartFailing();
    return result;
}
