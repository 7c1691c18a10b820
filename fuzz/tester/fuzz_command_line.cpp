// The command-line interpreter: the input split at zero bytes into arguments.
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DefZqCmdLX.h"
#include "FuzzPort.h"
#include "Platform.h"

namespace {

// Report files of fuzzed port names are looked up (and deleted) in this directory only.
std::string& FuzzExeDir() {
    static std::string dir = [] {
        std::string pattern = "/tmp/zq_fuzz_cmdline_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            abort();
        return pattern + "/";
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"ZqCmdLin"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0)
        arguments.push_back(current);
    if (arguments.size() > 64)
        return 0;
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    platform::SetCommandLine(static_cast<int>(argv.size()), argv.data());

    auto form = FuzzForm();
    form->ExeDirectory = [] { return FuzzExeDir(); };
    form->FormCreate();
    if (RunState.ExeDir != FuzzExeDir())
        abort();
    FormMain = nullptr;
    return 0;
}
