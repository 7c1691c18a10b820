// What a production-line tool needs of the operating system beyond starting programs: text and
// paths as UTF-8 on every system, a lock per station directory and port that dies with its
// holder, the interrupts a console or a service manager sends, the terminal's size, a look at a
// serial port after a run, and code page 936 text as UTF-8.
// platform/posix/ and platform/win32/ implement this contract. On Win32 every path and text
// here is UTF-8 and goes to the wide-character system calls; on POSIX bytes pass unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------------------
// UTF-8 text of the process.

// Arguments 1..N of the process as UTF-8 (Win32: from the wide command line, whatever the ANSI
// code page; POSIX: argv as given, which SetCommandLine handed over).
std::vector<std::string> Utf8CommandLineArguments();

// The directory of the program as UTF-8, with its trailing separator, found as ExeDirectory
// finds it (POSIX: argument 0 with links kept; Win32: the module's path).
std::string Utf8ExeDirectory();

// The name of this computer (UTF-8); "unknown" when the system does not tell it.
std::string HostName();

// Writes lines to the file at a UTF-8 path as WriteLines does: CR LF after each, whole or not at
// all (a temporary name beside it, then renamed over it). False when it could not be written.
bool WriteLinesUtf8(const std::string& path, const std::vector<std::string>& lines);

// Calls take with the name (UTF-8) of every entry of directory but "." and "..", in the order the
// system gives them; false when the directory cannot be read. Made for directories of hundreds of
// thousands of entries: nothing is allocated per entry.
bool ForEachDirectoryName(const std::string& directory,
                          const std::function<void(std::string_view name)>& take);

// Names that appear in a directory from now on (created, linked or renamed into it), so that a
// caller learns what is new without reading a directory of hundreds of thousands of entries.
// kNoDirectoryWatch where the system offers no such service (only Linux does here) or the
// directory cannot be watched; the caller then reads the directory itself.
using DirectoryWatch = std::intptr_t;
constexpr DirectoryWatch kNoDirectoryWatch = 0;
DirectoryWatch WatchDirectory(const std::string& directory);
// Appends the names (UTF-8) that appeared since the last call, in the order they appeared. False
// when some may have been lost (the system's queue overflowed, the directory went away): from
// then on the watch tells nothing reliable.
bool TakeNewNames(DirectoryWatch watch, std::vector<std::string>& names);
void EndDirectoryWatch(DirectoryWatch watch);

// Whether this user may create files in the directory at a UTF-8 path (POSIX: the system's
// access check, which also knows read-only file systems and immutable directories; Win32: a
// temporary file is created there and deleted again). False when it does not exist.
bool DirectoryWritable(const std::string& utf8Path);

// ---------------------------------------------------------------------------------------------
// Locks.

// A lock on a file, held until ReleaseFileLock or until the holding process ends in any way
// (the system lets go of it then, also after a kill). Never inherited by started programs.
using FileLock = std::intptr_t;
constexpr FileLock kNoFileLock = 0;

enum class LockOutcome { Taken, Busy, Failed };

// Takes the lock of the file at path (UTF-8), creating the file when it does not exist; the file
// stays when the lock is released. Busy when another holder has it; Failed (with a one-line reason
// in error) when the file cannot be created or locked.
LockOutcome TryLockFile(const std::string& path, FileLock& lock, std::string& error);
void ReleaseFileLock(FileLock lock);

// ---------------------------------------------------------------------------------------------
// Interrupts.

// From now on SIGINT, SIGTERM and SIGHUP (Win32: Ctrl-C, Ctrl-Break, closing the console, log-off
// and shut-down) only set a flag that PendingInterrupt reports, instead of ending the process; a
// signal the process was started with ignored stays ignored. SIGPIPE is ignored by this process,
// so that a reader that went away makes writes fail instead of ending it. Programs started later
// by StartProcess get the dispositions this process was started with (ignored stays ignored,
// the rest default) and the signal mask it was started with.
void InstallInterruptHandlers();

// 0 while no interrupt has come; otherwise the first one: the POSIX signal number (SIGINT 2,
// SIGTERM 15, SIGHUP 1); on Win32 Ctrl-C is 2, Ctrl-Break 21, closing the console, log-off and
// shut-down 1. Any thread.
int PendingInterrupt();

// How many interrupts came in all (a second one asks to hurry).
unsigned InterruptCount();

// Called once the process has done what it does on an interrupt, just before it exits: on Win32
// the console's close handler waits for this (up to the few seconds the system grants), so the
// files are written before the system ends the process. No-op on POSIX.
void InterruptHandled();

// ---------------------------------------------------------------------------------------------
// Terminal.

// Rows and columns of the terminal (console window) that standard output shows on, read anew at
// every call so that a change of size is seen. False when standard output is no terminal or the
// size is not known.
bool TerminalSize(unsigned& rows, unsigned& columns);

// ---------------------------------------------------------------------------------------------
// Serial ports, seen from outside a run.

// What the port commName (COMn) of a tester in directory (with its trailing separator, UTF-8)
// leads to: POSIX: the device behind dosdevices/comn, links followed to the end (the path itself
// when it leads nowhere), else /dev/ttyS<n-1>; Win32: \\.\COMn. Empty for a name that is no port.
std::string SerialDeviceTarget(const std::string& commName, const std::string& directory);

// Opens the port as the tester would and closes it again at once. Empty when it opens; otherwise
// one short line: "does not exist", "in use", "is not a serial device" or the system's own text
// for the failure ("Permission denied"). On POSIX the port is also asked for baudRate, and a
// driver that answers success but keeps another speed (a 16550 asked for 1,000,000) gives
// "holds 9600 baud when asked for 1000000". Only for a port no program of ours is using:
// opening a port can move its modem lines.
std::string SerialPortOpenProblem(const std::string& commName, const std::string& directory,
                                  std::uint32_t baudRate);

// ---------------------------------------------------------------------------------------------
// Text.

// Code page 936 (GBK) text as UTF-8: ASCII unchanged, every sequence that is not GBK as U+FFFD.
std::string Cp936ToUtf8(std::string_view bytes);

}  // namespace platform
