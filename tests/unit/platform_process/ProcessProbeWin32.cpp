#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

#include "ProcessProbe.h"

long SystemProcessId(const platform::ChildProcess& process) {
    return static_cast<long>(GetProcessId(reinterpret_cast<HANDLE>(process.id)));
}

bool ProcessRunning(long pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

bool NothingHeldFor(const platform::ChildProcess& before) {
    DWORD flags = 0;
    return !GetHandleInformation(reinterpret_cast<HANDLE>(before.id), &flags) &&
           (before.group == 0 || !GetHandleInformation(reinterpret_cast<HANDLE>(before.group), &flags));
}

bool SystemEndsProgramsWithStarter() {
    return true;
}

// The C runtime's descriptor 0 and the system's standard input handle are set together.
StandardInputHolding::StandardInputHolding(const char* bytes) : saved_(_dup(0)) {
    int ends[2];
    if (_pipe(ends, 4096, _O_BINARY) != 0)
        return;
    _write(ends[1], bytes, static_cast<unsigned>(std::strlen(bytes)));
    _close(ends[1]);
    _dup2(ends[0], 0);
    _close(ends[0]);
}

StandardInputHolding::~StandardInputHolding() {
    if (saved_ >= 0) {
        _dup2(saved_, 0);
        _close(saved_);
    }
}
