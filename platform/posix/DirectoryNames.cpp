// The names in a directory, read with readdir: a station's LogFileS holds every log ever written.

#include <dirent.h>

#include <cstring>

#include "StationServices.h"

namespace platform {

bool ForEachDirectoryName(const std::string& directory,
                          const std::function<void(std::string_view name)>& take) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    // readdir is safe here: no other thread reads this DIR.
    while (const dirent* entry = readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            take(name);
    }
    closedir(dir);
    return true;
}

}  // namespace platform
