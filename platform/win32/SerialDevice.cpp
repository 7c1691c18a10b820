// Opening and configuring a serial device on Win32.
//
// COMn opens as the device \\.\COMn, for reading and writing, unshared and for overlapped use, so
// that one read, one status wait and one write can be outstanding on the handle at the same
// time. Windows (and Wine, through dosdevices/comn) map the name to the device themselves, so the
// program's directory plays no part here.

#include <cstring>

#include "SerialWin32.h"

namespace platform {

using serial_win32::HandleOf;

namespace {

constexpr DWORD kDriverQueueBytes = 4096;

constexpr DWORD kFlagBinary = 0x0001;
constexpr DWORD kFlagParity = 0x0002;
constexpr DWORD kFlagOutxCtsFlow = 0x0004;
constexpr DWORD kFlagOutxDsrFlow = 0x0008;
constexpr DWORD kFlagDtrEnable = 0x0010;
constexpr DWORD kFlagDtrHandshake = 0x0020;
constexpr DWORD kFlagDsrSensitivity = 0x0040;
constexpr DWORD kFlagTxContinueOnXoff = 0x0080;
constexpr DWORD kFlagOutX = 0x0100;
constexpr DWORD kFlagInX = 0x0200;
constexpr DWORD kFlagErrorChar = 0x0400;
constexpr DWORD kFlagNull = 0x0800;
constexpr DWORD kFlagRtsEnable = 0x1000;
constexpr DWORD kFlagRtsHandshake = 0x2000;
constexpr DWORD kFlagRtsToggle = 0x3000;

DWORD DtrBits(DtrMode mode) {
    switch (mode) {
        case DtrMode::Enable:
            return kFlagDtrEnable;
        case DtrMode::Handshake:
            return kFlagDtrHandshake;
        default:
            return 0;
    }
}

DWORD RtsBits(RtsMode mode) {
    switch (mode) {
        case RtsMode::Enable:
            return kFlagRtsEnable;
        case RtsMode::Handshake:
            return kFlagRtsHandshake;
        case RtsMode::Toggle:
            return kFlagRtsToggle;
        default:
            return 0;
    }
}

}  // namespace

namespace serial_win32 {

DWORD DcbFlagWord(const SerialLineSettings& s) {
    DWORD flags = kFlagBinary;
    if (s.parityCheck)
        flags |= kFlagParity;
    if (s.outxCtsFlow)
        flags |= kFlagOutxCtsFlow;
    if (s.outxDsrFlow)
        flags |= kFlagOutxDsrFlow;
    flags |= DtrBits(s.dtrControl);
    if (s.dsrSensitivity)
        flags |= kFlagDsrSensitivity;
    if (s.txContinueOnXoff)
        flags |= kFlagTxContinueOnXoff;
    if (s.outxXonXoffFlow)
        flags |= kFlagOutX;
    if (s.inxXonXoffFlow)
        flags |= kFlagInX;
    if (s.replaceWhenParityError)
        flags |= kFlagErrorChar;
    if (s.ignoreNullChar)
        flags |= kFlagNull;
    flags |= RtsBits(s.rtsControl);
    return flags;
}

void StoreDcbFlagWord(DCB& dcb, DWORD flags) {
    dcb.fBinary = flags & 1;
    dcb.fParity = (flags >> 1) & 1;
    dcb.fOutxCtsFlow = (flags >> 2) & 1;
    dcb.fOutxDsrFlow = (flags >> 3) & 1;
    dcb.fDtrControl = (flags >> 4) & 3;
    dcb.fDsrSensitivity = (flags >> 6) & 1;
    dcb.fTXContinueOnXoff = (flags >> 7) & 1;
    dcb.fOutX = (flags >> 8) & 1;
    dcb.fInX = (flags >> 9) & 1;
    dcb.fErrorChar = (flags >> 10) & 1;
    dcb.fNull = (flags >> 11) & 1;
    dcb.fRtsControl = (flags >> 12) & 3;
    dcb.fAbortOnError = (flags >> 14) & 1;
    dcb.fDummy2 = flags >> 15;
}

void FillDcb(DCB& dcb, const SerialLineSettings& s) {
    dcb.BaudRate = s.baudRate;
    StoreDcbFlagWord(dcb, DcbFlagWord(s));
    dcb.XonLim = s.xonLimit;
    dcb.XoffLim = s.xoffLimit;
    dcb.ByteSize = s.dataBits;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.XonChar = s.xonChar;
    dcb.XoffChar = s.xoffChar;
    dcb.ErrorChar = s.replacedChar;
}

}  // namespace serial_win32

std::uint8_t* AllocateDataBlock(std::size_t count) {
    return static_cast<std::uint8_t*>(LocalAlloc(LPTR, count + 1));
}

void ReleaseDataBlock(void* block) {
    if (block != nullptr)
        LocalFree(block);
}

std::string SerialDevicePath(const std::string& commName, const std::string& /*directory*/) {
    if (SerialPortNumber(commName) == 0)
        return {};
    return "\\\\.\\" + commName;
}

SerialDevice OpenSerialDevice(const std::string& commName, const std::string& directory) {
    const std::string path = SerialDevicePath(commName, directory);
    if (path.empty())
        return kNoSerialDevice;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return kNoSerialDevice;
    if (GetFileType(h) != FILE_TYPE_CHAR || !SetupComm(h, kDriverQueueBytes, kDriverQueueBytes)) {
        CloseHandle(h);
        return kNoSerialDevice;
    }
    return reinterpret_cast<SerialDevice>(h);
}

void CloseSerialDevice(SerialDevice device) {
    if (device != kNoSerialDevice)
        CloseHandle(HandleOf(device));
}

bool ApplySerialLineSettings(SerialDevice device, const SerialLineSettings& settings) {
    if (device == kNoSerialDevice)
        return false;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(HandleOf(device), &dcb))
        return false;
    serial_win32::FillDcb(dcb, settings);
    return SetCommState(HandleOf(device), &dcb) != FALSE;
}

bool ApplySerialTimeouts(SerialDevice device, const SerialTimeouts& timeouts) {
    if (device == kNoSerialDevice)
        return false;
    COMMTIMEOUTS t;
    if (!GetCommTimeouts(HandleOf(device), &t))
        return false;
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(HandleOf(device), &t) != FALSE;
}

void PurgeSerialDevice(SerialDevice device, bool input, bool output) {
    if (device == kNoSerialDevice)
        return;
    DWORD flags = 0;
    if (input)
        flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (output)
        flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (flags != 0)
        PurgeComm(HandleOf(device), flags);
}

CloseEvent CreateCloseEvent() {
    return reinterpret_cast<CloseEvent>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void SignalCloseEvent(CloseEvent event) {
    if (event != 0)
        SetEvent(HandleOf(event));
}

bool CloseEventSignalled(CloseEvent event) {
    // Anything but "not yet" counts as signalled, so a broken event ends the threads.
    return event == 0 || WaitForSingleObject(HandleOf(event), 0) != WAIT_TIMEOUT;
}

void DestroyCloseEvent(CloseEvent event) {
    if (event != 0)
        CloseHandle(HandleOf(event));
}

}  // namespace platform
