// The receive and transmit thread bodies on Win32, with the transmit request queue.
//
// The receive thread keeps one overlapped read and one overlapped status wait outstanding at all
// times and waits for the first of the close event, the status event and the read event. The
// transmit thread takes write requests from its own message queue and writes each completely,
// waiting for the close event or the write event while a write is outstanding. Everything either
// thread reports is posted to the component's notification target; neither ever waits for the
// user-interface thread.

#include <cstring>
#include <new>

#include "SerialWin32.h"

namespace platform {

using serial_win32::HandleOf;
using serial_win32::QueueOf;
using serial_win32::TransmitQueue;

namespace {

// EV_RLSD | EV_ERR | EV_RING: received data is taken by the read that is always outstanding, so
// character arrival is not watched.
constexpr DWORD kWatchedStatusEvents = EV_RLSD | EV_ERR | EV_RING;
static_assert(kWatchedStatusEvents == 0x01A0);
// Any kind of queue input wakes the transmit thread.
constexpr DWORD kQueueWakeMask = 0x00FF;
constexpr DWORD kReceivePurge = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kTransmitPurge = PURGE_TXABORT | PURGE_TXCLEAR;
// Thread messages posted with hwnd 0 only, never a window's.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

enum class Step { Continue, Stop };

void PostHangup(NotificationTarget target) {
    PostNotification(target, WM_COMM_HANGUP, 0, 0);
}

// A failed post is an unexpected failure: the hang-up request is tried as well.
Step PostOrHangUp(NotificationTarget target, std::uint32_t message, std::intptr_t lParam) {
    if (PostNotification(target, message, 0, lParam))
        return Step::Continue;
    PostHangup(target);
    return Step::Stop;
}

// The failure of a port operation: a vanished handle stops quietly, anything else hangs up.
Step FailQuietlyIfHandleGone(NotificationTarget target, DWORD error) {
    if (error != ERROR_INVALID_HANDLE)
        PostHangup(target);
    return Step::Stop;
}

// Waits, without a time limit, until an operation that was cancelled or purged has completed:
// until then the system may still write into its record and buffer (a read) or read from its
// block (a write), so neither may be freed or left behind on the stack before.
void AwaitEndedOperation(HANDLE port, OVERLAPPED& record, bool& outstanding) {
    if (!outstanding)
        return;
    DWORD ignored = 0;
    GetOverlappedResult(port, &record, &ignored, TRUE);  // waits on the record's event
    outstanding = false;
}

// Ends this thread's outstanding write before its block is released.
void CancelWrite(HANDLE port, OVERLAPPED& record, bool& outstanding) {
    if (!outstanding)
        return;
    CancelIo(port);
    AwaitEndedOperation(port, record, outstanding);
}

// ---------------------------------------------------------------------------------------------
// Receive thread.

struct ReceiveState {
    HANDLE port = nullptr;
    HANDLE closeEvent = nullptr;
    NotificationTarget target = 0;
    std::uint8_t buffer[kSerialReadChunk];
    DWORD bytesRead = 0;
    DWORD eventMask = 0;
    OVERLAPPED readRecord;
    OVERLAPPED statusRecord;
    bool readOutstanding = false;
    bool statusOutstanding = false;
};

bool Closing(const ReceiveState& s) {
    return WaitForSingleObject(s.closeEvent, 0) != WAIT_TIMEOUT;
}

Step HandOff(ReceiveState& s, DWORD count) {
    // With a read interval and no total read limit a read never completes empty; an empty one
    // means the read was cut short, and nothing is delivered.
    if (count == 0)
        return Step::Stop;
    std::uint8_t* block = AllocateDataBlock(count);
    if (block == nullptr) {
        PostHangup(s.target);
        return Step::Stop;
    }
    std::memcpy(block, s.buffer, count);
    if (!PostNotification(s.target, WM_COMM_DATA, count, reinterpret_cast<std::intptr_t>(block))) {
        ReleaseDataBlock(block);
        PostHangup(s.target);
        return Step::Stop;
    }
    return Step::Continue;
}

Step StartReading(ReceiveState& s) {
    for (;;) {
        if (Closing(s))
            return Step::Stop;
        s.bytesRead = 0;
        if (ReadFile(s.port, s.buffer, kSerialReadChunk, &s.bytesRead, &s.readRecord)) {
            if (HandOff(s, s.bytesRead) == Step::Stop)
                return Step::Stop;
            continue;  // the next read at once
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            s.readOutstanding = true;
            return Step::Continue;
        }
        return FailQuietlyIfHandleGone(s.target, error);
    }
}

Step CompleteRead(ReceiveState& s) {
    s.readOutstanding = false;
    if (!GetOverlappedResult(s.port, &s.readRecord, &s.bytesRead, FALSE))
        return FailQuietlyIfHandleGone(s.target, GetLastError());
    return HandOff(s, s.bytesRead);
}

Step HandleStatusEvent(ReceiveState& s, bool withOverlappedResult) {
    Step answer = Step::Stop;
    if (withOverlappedResult) {
        s.statusOutstanding = false;
        DWORD ignored = 0;
        if (!GetOverlappedResult(s.port, &s.statusRecord, &ignored, FALSE))
            return FailQuietlyIfHandleGone(s.target, GetLastError());
    }
    const DWORD mask = s.eventMask;
    if (mask & EV_ERR) {
        DWORD errors = 0;
        if (!ClearCommError(s.port, &errors, nullptr))
            return FailQuietlyIfHandleGone(s.target, GetLastError());
        if (PostOrHangUp(s.target, WM_COMM_ERROR, static_cast<std::intptr_t>(errors)) == Step::Stop)
            return Step::Stop;
        answer = Step::Continue;
    }
    std::uint32_t modem = 0;
    if (mask & EV_RLSD)
        modem |= kModemCarrierChanged;
    if (mask & EV_RING)
        modem |= kModemRingSeen;
    if (modem != 0) {
        if (PostOrHangUp(s.target, WM_COMM_MODEM, modem) == Step::Stop)
            return Step::Stop;
        answer = Step::Continue;
    }
    if (answer == Step::Stop)
        PostHangup(s.target);  // a wait that reported nothing watched
    return answer;
}

Step ArmStatusWait(ReceiveState& s) {
    for (;;) {
        if (Closing(s))
            return Step::Stop;
        s.eventMask = 0;
        if (WaitCommEvent(s.port, &s.eventMask, &s.statusRecord)) {
            if (HandleStatusEvent(s, false) == Step::Stop)
                return Step::Stop;
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            s.statusOutstanding = true;
            return Step::Continue;
        }
        if (error == ERROR_NOT_SUPPORTED) {
            // A device that cannot report line status (a pseudo-terminal behind Wine, some
            // virtual ports) still carries data: line and modem events are simply absent, and
            // the status event, left unsignalled, never wakes the wait.
            ResetEvent(s.statusRecord.hEvent);
            return Step::Continue;
        }
        return FailQuietlyIfHandleGone(s.target, error);
    }
}

void ReceiveUntilStopped(ReceiveState& s) {
    const HANDLE waitList[3] = {s.closeEvent, s.statusRecord.hEvent, s.readRecord.hEvent};
    if (!SetCommMask(s.port, kWatchedStatusEvents)) {
        PostHangup(s.target);
        return;
    }
    if (ArmStatusWait(s) == Step::Stop || StartReading(s) == Step::Stop)
        return;
    for (;;) {
        // The lowest signalled index is reported, so the close event wins over the others.
        switch (WaitForMultipleObjects(3, waitList, FALSE, INFINITE)) {
            case WAIT_OBJECT_0:
                return;
            case WAIT_OBJECT_0 + 1:
                if (HandleStatusEvent(s, true) == Step::Stop || ArmStatusWait(s) == Step::Stop)
                    return;
                break;
            case WAIT_OBJECT_0 + 2:
                if (CompleteRead(s) == Step::Stop || StartReading(s) == Step::Stop)
                    return;
                break;
            default:
                PostHangup(s.target);
                return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Transmit thread.

struct TransmitState {
    HANDLE port = nullptr;
    HANDLE closeEvent = nullptr;
    NotificationTarget target = 0;
    OVERLAPPED writeRecord;
    bool writeOutstanding = false;
};

enum class BlockWritten { Written, Failed };

BlockWritten WriteBlock(TransmitState& s, const std::uint8_t* data, DWORD count) {
    const HANDLE waitList[2] = {s.closeEvent, s.writeRecord.hEvent};
    DWORD remaining = count;
    DWORD offset = 0;
    while (remaining > 0) {
        DWORD written = 0;
        if (!WriteFile(s.port, data + offset, remaining, &written, &s.writeRecord)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                FailQuietlyIfHandleGone(s.target, error);
                return BlockWritten::Failed;
            }
            s.writeOutstanding = true;
            const DWORD woke = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
            if (woke == WAIT_OBJECT_0) {
                CancelWrite(s.port, s.writeRecord, s.writeOutstanding);
                return BlockWritten::Failed;
            }
            if (woke != WAIT_OBJECT_0 + 1) {
                CancelWrite(s.port, s.writeRecord, s.writeOutstanding);
                PostHangup(s.target);
                return BlockWritten::Failed;
            }
            s.writeOutstanding = false;
            if (!GetOverlappedResult(s.port, &s.writeRecord, &written, TRUE)) {
                FailQuietlyIfHandleGone(s.target, GetLastError());
                return BlockWritten::Failed;
            }
        }
        // A write may take fewer bytes than asked: the rest follows from where it stopped.
        if (written > remaining)
            written = remaining;
        remaining -= written;
        offset += written;
    }
    return BlockWritten::Written;
}

void ReleaseIfWriteRequest(const MSG& msg) {
    if (msg.hwnd == nullptr && msg.message == WM_COMM_WRITE)
        ReleaseDataBlock(reinterpret_cast<void*>(msg.lParam));
}

// Empties the calling thread's queue of thread messages, releasing the blocks of write requests.
void DiscardOwnWriteRequests() {
    MSG msg;
    while (PeekMessageA(&msg, kThreadMessagesOnly, 0, 0, PM_REMOVE)) ReleaseIfWriteRequest(msg);
}

void TransmitUntilStopped(TransmitState& s) {
    bool reportEmpty = true;
    for (;;) {
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (reportEmpty && PostOrHangUp(s.target, WM_COMM_EMPTY, 0) == Step::Stop)
                return;
            reportEmpty = false;
            const DWORD woke =
                MsgWaitForMultipleObjects(1, &s.closeEvent, FALSE, INFINITE, kQueueWakeMask);
            if (woke == WAIT_OBJECT_0)
                return;
            if (woke != WAIT_OBJECT_0 + 1) {
                PostHangup(s.target);
                return;
            }
            continue;
        }
        if (WaitForSingleObject(s.closeEvent, 0) != WAIT_TIMEOUT) {
            ReleaseIfWriteRequest(msg);
            return;
        }
        if (msg.hwnd != nullptr) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            continue;
        }
        if (msg.message != WM_COMM_WRITE)
            continue;  // leaves report-empty as it was
        auto* block = reinterpret_cast<std::uint8_t*>(msg.lParam);
        const BlockWritten written = WriteBlock(s, block, static_cast<DWORD>(msg.wParam));
        ReleaseDataBlock(block);
        if (written == BlockWritten::Failed)
            return;
        reportEmpty = true;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

WriteQueue CreateWriteQueue() {
    return reinterpret_cast<WriteQueue>(new (std::nothrow) TransmitQueue);
}

bool PostWriteRequest(WriteQueue queue, std::uint8_t* block, std::uint16_t count) {
    TransmitQueue* q = QueueOf(queue);
    if (q == nullptr)
        return false;
    const DWORD thread = q->threadId.load();
    if (thread == 0)
        return false;  // the transmit loop has not started, or has ended
    // Refused by the platform until the thread has looked at its queue for the first time.
    return PostThreadMessageA(thread, WM_COMM_WRITE, count, reinterpret_cast<LPARAM>(block)) !=
           FALSE;
}

void DiscardWriteRequests(WriteQueue queue) {
    TransmitQueue* q = QueueOf(queue);
    // The queue belongs to the transmit thread: only that thread can empty it. Elsewhere the
    // requests go with the thread's end, which empties its queue first.
    if (q != nullptr && q->threadId.load() == GetCurrentThreadId())
        DiscardOwnWriteRequests();
}

void DestroyWriteQueue(WriteQueue queue) {
    DiscardWriteRequests(queue);
    delete QueueOf(queue);
}

void RunSerialReceiveLoop(SerialDevice device, CloseEvent closeEvent, NotificationTarget target) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    ReceiveState s;
    std::memset(&s.readRecord, 0, sizeof s.readRecord);
    std::memset(&s.statusRecord, 0, sizeof s.statusRecord);
    s.port = HandleOf(device);
    s.closeEvent = HandleOf(closeEvent);
    s.target = target;
    s.readRecord.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    s.statusRecord.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (s.readRecord.hEvent == nullptr || s.statusRecord.hEvent == nullptr)
        PostHangup(target);
    else
        ReceiveUntilStopped(s);

    PurgeComm(s.port, kReceivePurge);
    // The purge ends an outstanding read; an outstanding status wait ends when the mask is
    // cleared. Both are cancelled as well, where the driver does not end them by itself.
    if (s.statusOutstanding)
        SetCommMask(s.port, 0);
    if (s.readOutstanding || s.statusOutstanding)
        CancelIo(s.port);
    AwaitEndedOperation(s.port, s.readRecord, s.readOutstanding);
    AwaitEndedOperation(s.port, s.statusRecord, s.statusOutstanding);
    if (s.readRecord.hEvent != nullptr)
        CloseHandle(s.readRecord.hEvent);
    if (s.statusRecord.hEvent != nullptr)
        CloseHandle(s.statusRecord.hEvent);
}

void RunSerialTransmitLoop(SerialDevice device, CloseEvent closeEvent, WriteQueue queue,
                           NotificationTarget target) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
    TransmitQueue* q = QueueOf(queue);
    TransmitState s;
    std::memset(&s.writeRecord, 0, sizeof s.writeRecord);
    s.port = HandleOf(device);
    s.closeEvent = HandleOf(closeEvent);
    s.target = target;
    s.writeRecord.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (s.writeRecord.hEvent == nullptr || q == nullptr) {
        PostHangup(target);
    } else {
        // Requests are accepted from here on, once the first look has made the queue.
        q->threadId.store(GetCurrentThreadId());
        TransmitUntilStopped(s);
    }

    if (q != nullptr) {
        // Later posts fail at once instead of landing in a queue nobody reads any more.
        q->threadId.store(0);
        DiscardOwnWriteRequests();
    }
    PurgeComm(s.port, kTransmitPurge);
    CancelWrite(s.port, s.writeRecord, s.writeOutstanding);
    if (s.writeRecord.hEvent != nullptr)
        CloseHandle(s.writeRecord.hEvent);
}

}  // namespace platform
