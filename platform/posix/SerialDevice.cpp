// Opening and configuring a serial device on POSIX.
//
// COMn is reached through the link dosdevices/comn beside the program when it exists (a site maps
// a port to a USB adapter, a test to a pseudo-terminal), else through /dev/ttyS<n-1>. The device
// is opened without blocking on the modem lines and held exclusively: TIOCEXCL keeps other
// openers out, and an advisory lock makes a second opener fail even where TIOCEXCL does not hold
// (a privileged process).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SerialPosix.h"

namespace platform {

using serial_posix::DeviceOf;
using serial_posix::OpenDevice;

std::uint8_t* AllocateDataBlock(std::size_t count) {
    return static_cast<std::uint8_t*>(std::calloc(count + 1, 1));
}

void ReleaseDataBlock(void* block) {
    std::free(block);
}

namespace {

void SetModemLine(int fd, int line, bool on) {
    // A pseudo-terminal has no modem lines; the failure is of no consequence there.
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

int MoveAboveStandardStreams(int fd) {
    if (fd > 2)
        return fd;
    // Keep descriptor numbers 0 to 2 free, so the handle is never 0 and never a standard stream.
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

}  // namespace

std::string SerialDevicePath(const std::string& commName, const std::string& directory) {
    const unsigned port = SerialPortNumber(commName);
    if (port == 0)
        return {};
    std::string link = directory + "dosdevices/com" + std::to_string(port);
    struct stat st;
    if (lstat(link.c_str(), &st) == 0)
        return link;
    return "/dev/ttyS" + std::to_string(port - 1);
}

SerialDevice OpenSerialDevice(const std::string& commName, const std::string& directory) {
    const std::string path = SerialDevicePath(commName, directory);
    if (path.empty())
        return kNoSerialDevice;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kNoSerialDevice;
    fd = MoveAboveStandardStreams(fd);
    if (fd < 0)
        return kNoSerialDevice;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
        close(fd);
        return kNoSerialDevice;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);  // held by another opener
        return kNoSerialDevice;
    }
    (void)ioctl(fd, TIOCEXCL);
    auto* device = new OpenDevice;
    device->fd = fd;
    return reinterpret_cast<SerialDevice>(device);
}

void CloseSerialDevice(SerialDevice device) {
    OpenDevice* d = DeviceOf(device);
    if (d == nullptr)
        return;
    (void)ioctl(d->fd, TIOCNXCL);
    close(d->fd);  // also drops the advisory lock
    delete d;
}

bool ApplySerialLineSettings(SerialDevice device, const SerialLineSettings& settings) {
    OpenDevice* d = DeviceOf(device);
    if (d == nullptr)
        return false;
    const bool written = serial_posix::WriteTermios(d->fd, settings);
    // DTR handshake has no POSIX form; the line is then held on so the far end may send.
    SetModemLine(d->fd, TIOCM_DTR, settings.dtrControl != DtrMode::Disable);
    if (settings.rtsControl != RtsMode::Handshake)
        SetModemLine(d->fd, TIOCM_RTS, settings.rtsControl == RtsMode::Enable);
    return written;
}

bool ApplySerialTimeouts(SerialDevice device, const SerialTimeouts& timeouts) {
    OpenDevice* d = DeviceOf(device);
    if (d == nullptr)
        return false;
    d->readInterval.store(timeouts.readInterval);
    d->readTotalMultiplier.store(timeouts.readTotalMultiplier);
    d->readTotalConstant.store(timeouts.readTotalConstant);
    d->writeTotalMultiplier.store(timeouts.writeTotalMultiplier);
    d->writeTotalConstant.store(timeouts.writeTotalConstant);
    return true;
}

void PurgeSerialDevice(SerialDevice device, bool input, bool output) {
    if (OpenDevice* d = DeviceOf(device))
        serial_posix::FlushQueues(d->fd, input, output);
}

}  // namespace platform
