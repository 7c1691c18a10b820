// The command-line interpreter: the port, the time-out, the trace mode and the command to send.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t SwitchNameSize = 32;

constexpr int SwitchNone = 0;     // not a switch
constexpr int SwitchCommand = 1;  // a switch without value
constexpr int SwitchOption = 2;   // a switch with a value

// Upper-case name of the switch being interpreted, NUL-terminated when shorter than 32.
extern char SwitchName[SwitchNameSize];
// Text after the first '=' of the switch being interpreted.
extern std::string SwitchValue;

void InterpretCommandLine();
int ParseSwitch(std::string_view arg);
void RunCommandSwitch();
// False when interpretation must stop here (a TIMOUT value that is not a number).
bool RunOptionSwitch();
void SetComPort(const std::string& name);

// The switch name held in SwitchName, up to its NUL or all 32 characters.
std::string_view CurrentSwitchName();
