// No directory watch on Win32: callers read the directory themselves (FindFirstFileExW reads
// names in large batches, see DirectoryNames.cpp).

#include "StationServices.h"

namespace platform {

DirectoryWatch WatchDirectory(const std::string&) {
    return kNoDirectoryWatch;
}

bool TakeNewNames(DirectoryWatch, std::vector<std::string>&) {
    return false;
}

void EndDirectoryWatch(DirectoryWatch) {}

}  // namespace platform
