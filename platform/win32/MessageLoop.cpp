// The user-interface thread's message loop on Win32: each notification target is a hidden
// message-only window, posts are PostMessageA to it, timers are SetTimer on the user-interface
// thread, and the loop is GetMessageA / DispatchMessageA.
//
// The system gives the guarantees of the contract: posted messages come out of the queue in
// posting order, a post never blocks (a full queue makes it fail), messages for a destroyed
// window are never dispatched, and WM_TIMER is only generated when no posted message is waiting
// and is never queued twice, so ticks missed while the thread was busy are not made up.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

// Notifications travel as private window messages: WM_APP + the notification's message number.
constexpr std::uint32_t kFirstNotificationMessage = WM_APP;
constexpr std::uint32_t kNotificationMessageCount = 0xC000 - WM_APP;

constexpr unsigned kMaxTargets = 64;
constexpr char kTargetClassName[] = "ZqNotificationTarget";

// A target id holds the slot index in its low bits and a generation above them, so a post to a
// destroyed target fails even after its slot has been reused.
struct TargetSlot {
    std::atomic<NotificationTarget> id{0};
    std::atomic<HWND> window{nullptr};
    NotificationHandler handler = nullptr;
    NotificationHandler discard = nullptr;
    void* context = nullptr;
};

struct Timer {
    std::uint32_t id;
    UINT_PTR systemId;
    TimerHandler handler;
    void* context;
};

std::array<TargetSlot, kMaxTargets> targetSlots;
std::uint32_t nextGeneration = 1;

// The window that owns the timers, created with the first timer on the user-interface thread.
HWND timerWindow = nullptr;
std::vector<Timer> timers;
std::uint32_t nextTimerId = 1;

bool quitRequested = false;

// A C++ exception must never unwind through the system's frames between DispatchMessageA and
// the window procedure: whatever a handler lets out ends that handler's work, not the loop.
void CallHandler(NotificationHandler handler, void* context, std::uint32_t message, WPARAM wParam,
                 LPARAM lParam) {
    try {
        handler(context, message, wParam, lParam);
    } catch (...) {
    }
}

void FireTimer(WPARAM systemId) {
    for (const Timer& t : timers) {
        if (t.systemId == systemId) {
            const Timer fired = t;  // the handler may start or stop timers
            try {
                fired.handler(fired.context);
            } catch (...) {
            }
            return;
        }
    }
}

LRESULT CALLBACK TargetWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* slot = reinterpret_cast<TargetSlot*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (slot != nullptr && slot->window.load(std::memory_order_acquire) == window) {
        if (message >= kFirstNotificationMessage &&
            message < kFirstNotificationMessage + kNotificationMessageCount) {
            CallHandler(slot->handler, slot->context, message - kFirstNotificationMessage, wParam,
                        lParam);
            return 0;
        }
    }
    if (window == timerWindow && message == WM_TIMER) {
        FireTimer(wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterTargetClass() {
    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = TargetWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kTargetClassName;
        return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

HWND CreateHiddenWindow() {
    if (!RegisterTargetClass())
        return nullptr;
    return CreateWindowExA(0, kTargetClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

TargetSlot* SlotOf(NotificationTarget target) {
    if (target == 0)
        return nullptr;
    TargetSlot& slot = targetSlots[target % kMaxTargets];
    return slot.id.load(std::memory_order_acquire) == target ? &slot : nullptr;
}

// True for a message that the loop hands to a notification target's window.
bool IsNotification(const MSG& msg) {
    return msg.message >= kFirstNotificationMessage &&
           msg.message < kFirstNotificationMessage + kNotificationMessageCount;
}

}  // namespace

NotificationTarget CreateNotificationTarget(NotificationHandler handler, void* context,
                                            NotificationHandler discard) {
    if (handler == nullptr)
        return 0;
    for (unsigned index = 0; index < kMaxTargets; ++index) {
        TargetSlot& slot = targetSlots[index];
        if (slot.id.load() != 0)
            continue;
        HWND window = CreateHiddenWindow();
        if (window == nullptr)
            return 0;
        slot.handler = handler;
        slot.discard = discard;
        slot.context = context;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&slot));
        slot.window.store(window, std::memory_order_release);
        NotificationTarget id = nextGeneration++ * kMaxTargets + index;
        if (id == 0)
            id = nextGeneration++ * kMaxTargets + index;
        slot.id.store(id, std::memory_order_release);
        return id;
    }
    return 0;
}

void DestroyNotificationTarget(NotificationTarget target) {
    TargetSlot* slot = SlotOf(target);
    if (slot == nullptr)
        return;
    slot->id.store(0, std::memory_order_release);
    HWND window = slot->window.exchange(nullptr, std::memory_order_acq_rel);
    if (window != nullptr) {
        // The system would drop the messages still queued for the window with it, and with them
        // whatever their lParam owns: they are taken out of the queue first and handed to discard.
        MSG msg;
        while (PeekMessageA(&msg, window, kFirstNotificationMessage,
                            kFirstNotificationMessage + kNotificationMessageCount - 1, PM_REMOVE)) {
            if (slot->discard != nullptr)
                CallHandler(slot->discard, slot->context, msg.message - kFirstNotificationMessage,
                            msg.wParam, msg.lParam);
        }
        DestroyWindow(window);
    }
    slot->handler = nullptr;
    slot->discard = nullptr;
    slot->context = nullptr;
}

bool PostNotification(NotificationTarget target, std::uint32_t message, std::uintptr_t wParam,
                      std::intptr_t lParam) {
    if (message >= kNotificationMessageCount)
        return false;
    TargetSlot* slot = SlotOf(target);
    if (slot == nullptr)
        return false;
    HWND window = slot->window.load(std::memory_order_acquire);
    if (window == nullptr)
        return false;
    return PostMessageA(window, kFirstNotificationMessage + message, static_cast<WPARAM>(wParam),
                        static_cast<LPARAM>(lParam)) != 0;
}

std::uint32_t StartTimer(unsigned intervalMs, TimerHandler handler, void* context) {
    if (handler == nullptr || intervalMs == 0)
        return 0;
    if (timerWindow == nullptr) {
        timerWindow = CreateHiddenWindow();
        if (timerWindow == nullptr)
            return 0;
    }
    const std::uint32_t id = nextTimerId++;
    const UINT_PTR systemId = SetTimer(timerWindow, id, intervalMs, nullptr);
    if (systemId == 0)
        return 0;
    timers.push_back({id, systemId, handler, context});
    return id;
}

void StopTimer(std::uint32_t timer) {
    for (const Timer& t : timers) {
        if (t.id == timer)
            KillTimer(timerWindow, t.systemId);
    }
    std::erase_if(timers, [timer](const Timer& t) { return t.id == timer; });
}

void RunMessageLoop() {
    // A quit is the loop's own flag rather than WM_QUIT: WM_QUIT only comes out of the queue once
    // every posted message before it is handled, but a quit must leave them queued.
    quitRequested = false;
    MSG msg;
    while (!quitRequested) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        DispatchMessageA(&msg);
    }
    quitRequested = false;
}

void QuitMessageLoop() {
    quitRequested = true;
}

void ProcessPendingNotifications() {
    const bool wasQuitting = quitRequested;
    quitRequested = false;
    MSG msg;
    while (!quitRequested &&
           PeekMessageA(&msg, nullptr, kFirstNotificationMessage,
                        kFirstNotificationMessage + kNotificationMessageCount - 1, PM_REMOVE)) {
        if (IsNotification(msg))
            DispatchMessageA(&msg);
    }
    quitRequested = wasQuitting;
}

// The program's windows are message-only windows: never visible, never on the taskbar, so there
// is no application window to hide or minimise.
void HideApplicationWindow() {}
void MinimizeApplication() {}

void SleepMs(unsigned ms) {
    Sleep(ms);
}

}  // namespace platform
