// New names in a directory, from the kernel's inotify on Linux; elsewhere there is no watch and
// callers read the directory themselves.

#include "StationServices.h"

#if defined(__linux__)
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace platform {

#if defined(__linux__)

namespace {

struct Watch {
    int fd = -1;
    bool lost = false;
};

Watch* WatchOf(DirectoryWatch watch) {
    return reinterpret_cast<Watch*>(watch);
}

}  // namespace

DirectoryWatch WatchDirectory(const std::string& directory) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return kNoDirectoryWatch;
    // A name placed by link() shows as created, one placed by rename() as moved in.
    if (inotify_add_watch(fd, directory.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        close(fd);
        return kNoDirectoryWatch;
    }
    auto* state = new Watch;
    state->fd = fd;
    return reinterpret_cast<DirectoryWatch>(state);
}

bool TakeNewNames(DirectoryWatch watch, std::vector<std::string>& names) {
    Watch* state = WatchOf(watch);
    if (state == nullptr)
        return false;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(state->fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // EAGAIN: nothing more queued
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof(inotify_event);
            if ((event.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0)
                state->lost = true;
            else if (event.len > 0)
                names.emplace_back(name, strnlen(name, event.len));
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    return !state->lost;
}

void EndDirectoryWatch(DirectoryWatch watch) {
    Watch* state = WatchOf(watch);
    if (state == nullptr)
        return;
    close(state->fd);
    delete state;
}

#else

DirectoryWatch WatchDirectory(const std::string&) {
    return kNoDirectoryWatch;
}

bool TakeNewNames(DirectoryWatch, std::vector<std::string>&) {
    return false;
}

void EndDirectoryWatch(DirectoryWatch) {}

#endif

}  // namespace platform
