// The services the tester and its serial component take from the operating system and its
// windowing toolkit, stated once. platform/posix/ and platform/win32/ implement this contract;
// nothing above this layer includes an OS header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------------------
// User-interface thread: message loop, notification targets, timer.
//
// The thread that calls RunMessageLoop is the user-interface thread. A notification target stands
// in for a hidden window: other threads post (message, wParam, lParam) records to it, and the
// loop calls the target's handler with each record on the user-interface thread, in posting order.

using NotificationTarget = std::uint32_t;  // 0 is no target
using NotificationHandler = void (*)(void* context, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);

// Called on the user-interface thread. Returns 0 when no target can be made. discard, when given,
// receives the records still queued when the target is destroyed, so that what their lParam
// owns (a data block) is released; it raises no event. An exception that leaves handler or a
// timer handler is caught and dropped by the loop, which goes on: on Win32 it must never unwind
// through the system's frames.
NotificationTarget CreateNotificationTarget(NotificationHandler handler, void* context,
                                            NotificationHandler discard = nullptr);

// Called on the user-interface thread, once no other thread posts to the target any more. Later
// posts fail; records already queued for it go to its discard handler (if any), never to its
// handler.
void DestroyNotificationTarget(NotificationTarget target);

// Any thread. Never blocks. False when the target does not exist (or no longer exists) or the
// queue is full; the caller then still owns whatever lParam points to.
bool PostNotification(NotificationTarget target, std::uint32_t message, std::uintptr_t wParam,
                      std::intptr_t lParam);

using TimerHandler = void (*)(void* context);

// A periodic timer on the user-interface thread, like a window timer: ticks missed while the
// thread was busy are not made up (one tick per wake-up, never a burst), and when a posted
// notification and a tick are both due, the notification is handled first. Returns 0 on failure.
std::uint32_t StartTimer(unsigned intervalMs, TimerHandler handler, void* context);
void StopTimer(std::uint32_t timer);

// Runs posted notifications and timer ticks until QuitMessageLoop is called on this thread.
void RunMessageLoop();
// Makes RunMessageLoop return once the handler that called it has returned. Notifications not
// yet handled stay queued for a later RunMessageLoop or ProcessPendingNotifications.
void QuitMessageLoop();

// Handles every notification posted so far (in order, on the calling user-interface thread), then
// returns without waiting and without timer ticks. Lets tests and shutdown code flush the queue.
void ProcessPendingNotifications();

// The toolkit's application window: hidden from the taskbar and minimised. No-ops where there is
// no such window.
void HideApplicationWindow();
void MinimizeApplication();

void SleepMs(unsigned ms);

// ---------------------------------------------------------------------------------------------
// Process and user locale.

// Arguments 1..N of the process, as the caller passed them (argument 0, the program, excluded).
// On POSIX the entry hands argv over with SetCommandLine before anything asks.
void SetCommandLine(int argc, const char* const* argv);
std::vector<std::string> CommandLineArguments();

// Directory the program was started from, with its trailing separator: that of argument 0 as
// given (on POSIX links are not resolved, and a bare name is looked up along PATH), so that a
// link to an installed program makes the link's directory the program's. Where argument 0 does
// not lead to the running program, the directory of the program file itself.
std::string ExeDirectory();
char PathSeparator();

// The current time of day in the user's long time format, and today's date in the user's short
// date format (8-bit text).
std::string LongTimeText();
std::string ShortDateText();

// ---------------------------------------------------------------------------------------------
// File system. Paths are 8-bit text in the system's code page.

bool FileExists(const std::string& path);
bool DeleteFileAt(const std::string& path);
bool DirectoryExists(const std::string& path);
bool CreateDirectoryAt(const std::string& path);  // one level

// False for a character that no file name may hold on this system, path separators aside (the
// caller handles those): on Win32 the control characters and : * ? " < > |; none on POSIX.
bool FileNameCharacterAllowed(char c);

enum class WriteOutcome { Written, AlreadyExists, Failed };

// Writes the lines, each ended by CR LF, bytes unchanged. Overwrites an existing file. The file
// appears whole or not at all: the lines go to a temporary file in the same directory that takes
// the name once complete; after a failure neither a partial file nor the temporary one is left.
WriteOutcome WriteLines(const std::string& path, const std::vector<std::string>& lines);
// The same, but only when no file of that name exists yet (the name is taken exclusively, so two
// writers never share a name and an existing file is never replaced).
WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines);

}  // namespace platform
