// What the tester uses of its serial component: the port name, opening and closing, sending
// and the receive event. TComm is the real component; unit tests put a fake in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// Raised by OpenPort for the failures of opening that the component detects.
class ECommsError : public std::runtime_error {
  public:
    explicit ECommsError(const std::string& message) : std::runtime_error(message) {}
};

class CommPort {
  public:
    // Sender, Buffer (BufferLength bytes followed by one zero byte, valid only during the call),
    // BufferLength (1 to 2048).
    using TReceiveDataEvent =
        std::function<void(void* sender, const std::uint8_t* buffer, std::uint16_t bufferLength)>;

    virtual ~CommPort() = default;

    virtual const std::string& CommName() const = 0;
    virtual void SetCommName(const std::string& name) = 0;

    // May raise ECommsError; may also return with the port still closed (PortHandle 0).
    virtual void OpenPort() = 0;
    virtual void ClosePort() = 0;

    // Queues a copy of the bytes for sending; false when the port is closed or not ready.
    virtual bool SendData(const std::uint8_t* buffer, std::uint16_t count) = 0;

    // Non-zero while the port is open.
    virtual std::uintptr_t PortHandle() const = 0;

    TReceiveDataEvent OnReceiveData;
};
