// What the POSIX process files share: the signal state the process was started with (noted by
// InstallInterruptHandlers, given back to started programs) and the system's text of an error.
#pragma once

#include <string>

namespace platform::posix_process {

// Notes the signal state the process was started with; called before a disposition changes.
// Only the first call notes.
void RecordStartSignalState();

// Whether the process was started with signalNumber ignored (its state now until noted).
bool SignalIgnoredAtStart(int signalNumber);

// The system's text of an errno value.
std::string ErrorText(int error);

}  // namespace platform::posix_process
