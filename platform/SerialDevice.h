// The serial device as the serial component sees it: opening a port by its COM name, writing the
// line settings and time-outs, the close event, the transmit request queue, and the bodies of the
// receive and transmit threads. platform/posix/ and platform/win32/ implement this contract; the
// component itself (serial/) holds no OS code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform.h"

namespace platform {

// Notifications the threads post to the component's notification target.
constexpr std::uint32_t kCommMessageBase = 0x0400;  // WM_USER
constexpr std::uint32_t WM_COMM_DATA = kCommMessageBase + 1;
constexpr std::uint32_t WM_COMM_ERROR = kCommMessageBase + 2;
constexpr std::uint32_t WM_COMM_HANGUP = kCommMessageBase + 3;
constexpr std::uint32_t WM_COMM_MODEM = kCommMessageBase + 4;
constexpr std::uint32_t WM_COMM_EMPTY = kCommMessageBase + 5;
// The write request carries the number of WM_COMM_DATA, but travels only to the transmit thread.
constexpr std::uint32_t WM_COMM_WRITE = WM_COMM_DATA;

// Bytes asked for by each read of the receive thread: the largest chunk ever delivered.
constexpr std::size_t kSerialReadChunk = 2048;

// Modem event bits of WM_COMM_MODEM.
constexpr std::uint32_t kModemCarrierChanged = 0x08;
constexpr std::uint32_t kModemRingSeen = 0x04;

// Line error flags of WM_COMM_ERROR (the values of the Win32 CE_ flags).
constexpr std::uint32_t kLineErrorRxOver = 0x0001;
constexpr std::uint32_t kLineErrorOverrun = 0x0002;
constexpr std::uint32_t kLineErrorParity = 0x0004;
constexpr std::uint32_t kLineErrorFrame = 0x0008;
constexpr std::uint32_t kLineErrorBreak = 0x0010;

// A data block: count bytes followed by one zero byte, zero-filled. It belongs to the message
// that carries it; whoever handles the message releases it.
std::uint8_t* AllocateDataBlock(std::size_t count);
void ReleaseDataBlock(void* block);

// ---------------------------------------------------------------------------------------------
// The device.

using SerialDevice = std::intptr_t;  // an open device; never 0
constexpr SerialDevice kNoSerialDevice = 0;

// The device for a port name such as "COM3": the link dosdevices/com3 in directory (which ends in
// a separator) when such an entry exists, else the system's serial device for port 3. A name that
// is not COM followed by a port number never opens. Returns kNoSerialDevice when the device is
// missing, is held by another opener, or is not a character device.
SerialDevice OpenSerialDevice(const std::string& commName, const std::string& directory);
void CloseSerialDevice(SerialDevice device);

// The port number n of "COMn" (any letter case, n from 1 to 999999 without leading zeros); 0 for
// every other name, so that no name can reach outside the devices it is meant for.
unsigned SerialPortNumber(const std::string& commName);

// The path OpenSerialDevice would open for commName; empty when the name is not acceptable.
std::string SerialDevicePath(const std::string& commName, const std::string& directory);

enum class DtrMode : std::uint8_t { Disable, Enable, Handshake };
enum class RtsMode : std::uint8_t { Disable, Enable, Handshake, Toggle };

struct SerialLineSettings {
    std::uint32_t baudRate = 9600;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    DtrMode dtrControl = DtrMode::Disable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outxXonXoffFlow = false;
    bool inxXonXoffFlow = false;
    bool replaceWhenParityError = false;
    bool ignoreNullChar = false;
    RtsMode rtsControl = RtsMode::Disable;
    std::uint16_t xonLimit = 500;
    std::uint16_t xoffLimit = 500;
    std::uint8_t dataBits = 8;  // 5 to 8
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 2;  // 0 one, 1 one and a half, 2 two
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char replacedChar = 0;
};

// Milliseconds; 0 in both totals of a direction means no total limit for it.
struct SerialTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

// Write the whole set at once; false when the device refused them.
bool ApplySerialLineSettings(SerialDevice device, const SerialLineSettings& settings);
bool ApplySerialTimeouts(SerialDevice device, const SerialTimeouts& timeouts);

// Empties the driver's input and/or output queue.
void PurgeSerialDevice(SerialDevice device, bool input, bool output);

// ---------------------------------------------------------------------------------------------
// The close event: manual reset, created unsignalled; once signalled it stays signalled. Every
// wait of both threads also watches it.

using CloseEvent = std::intptr_t;  // never 0 when created
CloseEvent CreateCloseEvent();
void SignalCloseEvent(CloseEvent event);
bool CloseEventSignalled(CloseEvent event);
void DestroyCloseEvent(CloseEvent event);

// ---------------------------------------------------------------------------------------------
// The transmit thread's request queue: data blocks with their byte counts, in order, without
// locks. Posting never blocks; false when the queue is full or gone (the caller keeps the block).

using WriteQueue = std::intptr_t;  // never 0 when created
WriteQueue CreateWriteQueue();
bool PostWriteRequest(WriteQueue queue, std::uint8_t* block, std::uint16_t count);
// Releases the blocks of every request still queued.
void DiscardWriteRequests(WriteQueue queue);
void DestroyWriteQueue(WriteQueue queue);

// ---------------------------------------------------------------------------------------------
// Thread bodies. Each runs until the close event is signalled or a failure stops it; both leave
// the device open. Everything they report is posted to target.

// Reads chunks of 1 to kSerialReadChunk bytes (a chunk ends at a gap of the read interval or when
// full) and posts each as WM_COMM_DATA with a new data block; posts WM_COMM_ERROR and
// WM_COMM_MODEM where the device reports line errors and modem events; WM_COMM_HANGUP on an
// unexpected failure.
void RunSerialReceiveLoop(SerialDevice device, CloseEvent closeEvent, NotificationTarget target);

// Writes each queued request completely, in order, releasing its block; posts WM_COMM_EMPTY once
// at the start and again after every run of writes that emptied the queue; WM_COMM_HANGUP on an
// unexpected failure.
void RunSerialTransmitLoop(SerialDevice device, CloseEvent closeEvent, WriteQueue queue,
                           NotificationTarget target);

}  // namespace platform
