#include "Comm.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "Platform.h"

namespace {

constexpr const char* kNoSpecificPort = "No Specific COM Port";
constexpr const char* kUnableToCreateEvent = "Unable to create event";
constexpr const char* kUnableToCreateReadThread = "Unable to create read thread";
constexpr const char* kUnableToCreateWriteThread = "Unable to create write thread";

std::string AlreadyOpenedMessage(const std::string& name) {
    return "Serial port \"" + name + "\" already opened";
}

platform::DtrMode DtrModeOf(TDtrControl control) {
    switch (control) {
        case TDtrControl::DtrEnable:
            return platform::DtrMode::Enable;
        case TDtrControl::DtrHandshake:
            return platform::DtrMode::Handshake;
        default:
            return platform::DtrMode::Disable;
    }
}

platform::RtsMode RtsModeOf(TRtsControl control) {
    switch (control) {
        case TRtsControl::RtsEnable:
            return platform::RtsMode::Enable;
        case TRtsControl::RtsHandshake:
            return platform::RtsMode::Handshake;
        case TRtsControl::RtsTransmissionAvailable:
            return platform::RtsMode::Toggle;
        default:
            return platform::RtsMode::Disable;
    }
}

struct BlockRelease {
    void operator()(std::uint8_t* block) const { platform::ReleaseDataBlock(block); }
};

// Notifications still queued when the component goes: only received data owns a block.
void DiscardNotification(void* /*context*/, std::uint32_t message, std::uintptr_t /*wParam*/,
                         std::intptr_t lParam) {
    if (message == platform::WM_COMM_DATA)
        platform::ReleaseDataBlock(reinterpret_cast<void*>(lParam));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TReadThread::TReadThread(platform::SerialDevice device, platform::CloseEvent closeEvent,
                         platform::NotificationTarget target)
    : device_(device), closeEvent_(closeEvent), target_(target) {}

TReadThread::~TReadThread() {
    WaitFor();
}

void TReadThread::Start() {
    thread_ = std::thread(platform::RunSerialReceiveLoop, device_, closeEvent_, target_);
}

void TReadThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

TWriteThread::TWriteThread(platform::SerialDevice device, platform::CloseEvent closeEvent,
                           platform::WriteQueue queue, platform::NotificationTarget target)
    : device_(device), closeEvent_(closeEvent), queue_(queue), target_(target) {}

TWriteThread::~TWriteThread() {
    WaitFor();
}

void TWriteThread::Start() {
    thread_ = std::thread(platform::RunSerialTransmitLoop, device_, closeEvent_, queue_, target_);
}

void TWriteThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

// ---------------------------------------------------------------------------------------------

TComm::TComm(void* owner) : owner_(owner) {
    notificationTarget_ =
        platform::CreateNotificationTarget(&TComm::HandleNotification, this, &DiscardNotification);
}

TComm::~TComm() {
    ClosePort();
    platform::DestroyNotificationTarget(notificationTarget_);
}

std::uintptr_t TComm::PortHandle() const {
    return static_cast<std::uintptr_t>(device_);
}

platform::SerialLineSettings TComm::LineSettings() const {
    platform::SerialLineSettings s;
    s.baudRate = baudRate_;
    s.parityCheck = parityCheck_;
    s.outxCtsFlow = outxCtsFlow_;
    s.outxDsrFlow = outxDsrFlow_;
    s.dtrControl = DtrModeOf(dtrControl_);
    s.dsrSensitivity = dsrSensitivity_;
    s.txContinueOnXoff = txContinueOnXoff_;
    s.outxXonXoffFlow = outxXonXoffFlow_;
    s.inxXonXoffFlow = inxXonXoffFlow_;
    s.replaceWhenParityError = replaceWhenParityError_;
    s.ignoreNullChar = ignoreNullChar_;
    s.rtsControl = RtsModeOf(rtsControl_);
    s.xonLimit = xonLimit_;
    s.xoffLimit = xoffLimit_;
    s.dataBits = static_cast<std::uint8_t>(static_cast<unsigned>(byteSize_) + 5);
    s.parity = static_cast<std::uint8_t>(parity_);
    s.stopBits = static_cast<std::uint8_t>(stopBits_);
    s.xonChar = xonChar_;
    s.xoffChar = xoffChar_;
    s.replacedChar = replacedChar_;
    return s;
}

platform::SerialTimeouts TComm::Timeouts() const {
    return {readIntervalTimeout_, readTotalTimeoutMultiplier_, readTotalTimeoutConstant_,
            writeTotalTimeoutMultiplier_, writeTotalTimeoutConstant_};
}

bool TComm::ApplyLineSettings() {
    return platform::ApplySerialLineSettings(device_, LineSettings());
}

bool TComm::ApplyTimeouts() {
    return platform::ApplySerialTimeouts(device_, Timeouts());
}

void TComm::OpenPort() {
    if (commName_.empty())
        throw ECommsError(kNoSpecificPort);
    if (PortHandle() != 0)
        throw ECommsError(AlreadyOpenedMessage(commName_));

    // Missing, held by another opener, not a character device: the port stays closed silently.
    const platform::SerialDevice device =
        platform::OpenSerialDevice(commName_, platform::ExeDirectory());
    if (device == platform::kNoSerialDevice)
        return;

    device_ = device;
    platform::PurgeSerialDevice(device_, true, true);
    ApplyTimeouts();  // a refusal by the driver goes unnoticed, as with the line settings
    ApplyLineSettings();

    closeEvent_ = platform::CreateCloseEvent();
    if (closeEvent_ == 0)
        AbandonOpen(kUnableToCreateEvent);

    try {
        readThread_ = new TReadThread(device_, closeEvent_, notificationTarget_);
    } catch (...) {
        readThread_ = nullptr;
        AbandonOpen(kUnableToCreateReadThread);
    }

    writeQueue_ = platform::CreateWriteQueue();
    try {
        if (writeQueue_ == 0)
            throw std::bad_alloc();
        writeThread_ = new TWriteThread(device_, closeEvent_, writeQueue_, notificationTarget_);
    } catch (...) {
        writeThread_ = nullptr;
        AbandonOpen(kUnableToCreateWriteThread);
    }

    try {
        readThread_->Start();
    } catch (const std::system_error&) {
        AbandonOpen(kUnableToCreateReadThread);
    }
    try {
        writeThread_->Start();
    } catch (const std::system_error&) {
        AbandonOpen(kUnableToCreateWriteThread);
    }
}

void TComm::AbandonOpen(const char* message) {
    ClosePort();
    throw ECommsError(message);
}

void TComm::ClosePort() {
    if (PortHandle() == 0)
        return;
    if (closeEvent_ != 0)
        platform::SignalCloseEvent(closeEvent_);
    if (readThread_ != nullptr) {
        platform::PurgeSerialDevice(device_, true, false);
        delete readThread_;  // waits for the thread's end
        readThread_ = nullptr;
    }
    if (writeThread_ != nullptr) {
        platform::PurgeSerialDevice(device_, false, true);
        delete writeThread_;
        writeThread_ = nullptr;
    }
    if (writeQueue_ != 0) {
        platform::DestroyWriteQueue(writeQueue_);  // releases requests still queued
        writeQueue_ = 0;
    }
    if (closeEvent_ != 0) {
        platform::DestroyCloseEvent(closeEvent_);
        closeEvent_ = 0;
    }
    platform::CloseSerialDevice(device_);
    device_ = platform::kNoSerialDevice;
}

bool TComm::SendData(const std::uint8_t* buffer, std::uint16_t count) {
    if (writeThread_ == nullptr || count == 0 || buffer == nullptr)
        return false;
    std::uint8_t* block = platform::AllocateDataBlock(count);
    if (block == nullptr)
        return false;
    std::memcpy(block, buffer, count);
    if (!platform::PostWriteRequest(writeQueue_, block, count)) {
        platform::ReleaseDataBlock(block);
        return false;
    }
    return true;
}

void TComm::HandleNotification(void* context, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
    auto* comm = static_cast<TComm*>(context);
    switch (message) {
        case platform::WM_COMM_DATA: {
            // The block is released after the event, also when no handler is set.
            std::unique_ptr<std::uint8_t, BlockRelease> block(
                reinterpret_cast<std::uint8_t*>(lParam));
            const auto length = static_cast<std::uint16_t>(wParam & 0xFFFF);
            if (comm->OnReceiveData && length != 0)
                comm->OnReceiveData(comm, block.get(), length);
            break;
        }
        case platform::WM_COMM_ERROR:
            if (comm->OnReceiveError)
                comm->OnReceiveError(comm, static_cast<std::uint32_t>(lParam));
            break;
        case platform::WM_COMM_HANGUP:
            if (comm->OnRequestHangup)
                comm->OnRequestHangup(comm);
            break;
        case platform::WM_COMM_MODEM:
            if (comm->OnModemStateChange)
                comm->OnModemStateChange(comm, static_cast<std::uint32_t>(lParam));
            break;
        case platform::WM_COMM_EMPTY:
            if (comm->OnSendDataEmpty)
                comm->OnSendDataEmpty(comm);
            break;
        default:
            break;  // any other message is ignored
    }
}
