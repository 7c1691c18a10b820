// TComm: the serial port component. The owner sets the line properties, opens the port, queues
// outgoing bytes with SendData and receives incoming bytes through OnReceiveData. All port input
// and output runs on two worker threads (TReadThread, TWriteThread) that post every result to the
// component's notification target, so every event runs on the thread that created the component,
// one at a time, in posting order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "CommPort.h"
#include "SerialDevice.h"

enum class TParity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class TStopBits : std::uint8_t { _1 = 0, _1_5 = 1, _2 = 2 };
enum class TByteSize : std::uint8_t { _5 = 0, _6 = 1, _7 = 2, _8 = 3 };  // data bits = ordinal + 5
enum class TDtrControl : std::uint8_t { DtrEnable = 0, DtrDisable = 1, DtrHandshake = 2 };
enum class TRtsControl : std::uint8_t {
    RtsEnable = 0,
    RtsDisable = 1,
    RtsHandshake = 2,
    RtsTransmissionAvailable = 3
};

// The receive thread: reads the port and posts chunks, line errors and modem events.
class TReadThread {
  public:
    TReadThread(platform::SerialDevice device, platform::CloseEvent closeEvent,
                platform::NotificationTarget target);
    ~TReadThread();
    void Start();  // may throw std::system_error when no thread can be made
    void WaitFor();

  private:
    platform::SerialDevice device_;
    platform::CloseEvent closeEvent_;
    platform::NotificationTarget target_;
    std::thread thread_;
};

// The transmit thread: writes the queued requests in order and reports an empty queue.
class TWriteThread {
  public:
    TWriteThread(platform::SerialDevice device, platform::CloseEvent closeEvent,
                 platform::WriteQueue queue, platform::NotificationTarget target);
    ~TWriteThread();
    void Start();  // may throw std::system_error when no thread can be made
    void WaitFor();

  private:
    platform::SerialDevice device_;
    platform::CloseEvent closeEvent_;
    platform::WriteQueue queue_;
    platform::NotificationTarget target_;
    std::thread thread_;
};

class TComm final : public CommPort {
  public:
    using TReceiveErrorEvent = std::function<void(void* sender, std::uint32_t eventMask)>;
    using TModemStateChangeEvent = std::function<void(void* sender, std::uint32_t modemEvent)>;
    using TNotifyEvent = std::function<void(void* sender)>;
    using TSendDataEmptyEvent = std::function<void(void* sender)>;

    // Creates the notification target on the calling (user-interface) thread.
    explicit TComm(void* owner = nullptr);
    // Closes a port the owner left open, so that no thread outlives the component.
    ~TComm() override;
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    void OpenPort() override;
    void ClosePort() override;
    bool SendData(const std::uint8_t* buffer, std::uint16_t count) override;
    std::uintptr_t PortHandle() const override;

    void* Owner() const { return owner_; }

    // Published properties. Setters of line properties rewrite the whole line settings of an
    // open port, setters of time-outs all five time-outs; an unchanged value does nothing.
    const std::string& CommName() const override { return commName_; }
    void SetCommName(const std::string& name) override { commName_ = name; }
    std::uint32_t BaudRate() const { return baudRate_; }
    void SetBaudRate(std::uint32_t value) { SetLine(baudRate_, value); }
    bool ParityCheck() const { return parityCheck_; }
    void SetParityCheck(bool value) { SetLine(parityCheck_, value); }
    bool Outx_CtsFlow() const { return outxCtsFlow_; }
    void SetOutx_CtsFlow(bool value) { SetLine(outxCtsFlow_, value); }
    bool Outx_DsrFlow() const { return outxDsrFlow_; }
    void SetOutx_DsrFlow(bool value) { SetLine(outxDsrFlow_, value); }
    TDtrControl DtrControl() const { return dtrControl_; }
    void SetDtrControl(TDtrControl value) { SetLine(dtrControl_, value); }
    bool DsrSensitivity() const { return dsrSensitivity_; }
    void SetDsrSensitivity(bool value) { SetLine(dsrSensitivity_, value); }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool value) { SetLine(txContinueOnXoff_, value); }
    bool Outx_XonXoffFlow() const { return outxXonXoffFlow_; }
    void SetOutx_XonXoffFlow(bool value) { SetLine(outxXonXoffFlow_, value); }
    bool Inx_XonXoffFlow() const { return inxXonXoffFlow_; }
    void SetInx_XonXoffFlow(bool value) { SetLine(inxXonXoffFlow_, value); }
    bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
    void SetReplaceWhenParityError(bool value) { SetLine(replaceWhenParityError_, value); }
    bool IgnoreNullChar() const { return ignoreNullChar_; }
    void SetIgnoreNullChar(bool value) { SetLine(ignoreNullChar_, value); }
    TRtsControl RtsControl() const { return rtsControl_; }
    void SetRtsControl(TRtsControl value) { SetLine(rtsControl_, value); }
    std::uint16_t XonLimit() const { return xonLimit_; }
    void SetXonLimit(std::uint16_t value) { SetLine(xonLimit_, value); }
    std::uint16_t XoffLimit() const { return xoffLimit_; }
    void SetXoffLimit(std::uint16_t value) { SetLine(xoffLimit_, value); }
    TByteSize ByteSize() const { return byteSize_; }
    void SetByteSize(TByteSize value) { SetLine(byteSize_, value); }
    // Stored only, also while open: it reaches the port at the next open or the next rewrite
    // caused by another line property.
    TParity Parity() const { return parity_; }
    void SetParity(TParity value) { parity_ = value; }
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value) { SetLine(stopBits_, value); }
    char XonChar() const { return xonChar_; }
    void SetXonChar(char value) { SetLine(xonChar_, value); }
    char XoffChar() const { return xoffChar_; }
    void SetXoffChar(char value) { SetLine(xoffChar_, value); }
    char ReplacedChar() const { return replacedChar_; }
    void SetReplacedChar(char value) { SetLine(replacedChar_, value); }
    std::uint32_t ReadIntervalTimeout() const { return readIntervalTimeout_; }
    void SetReadIntervalTimeout(std::uint32_t value) { SetTimeout(readIntervalTimeout_, value); }
    std::uint32_t ReadTotalTimeoutMultiplier() const { return readTotalTimeoutMultiplier_; }
    void SetReadTotalTimeoutMultiplier(std::uint32_t value) {
        SetTimeout(readTotalTimeoutMultiplier_, value);
    }
    std::uint32_t ReadTotalTimeoutConstant() const { return readTotalTimeoutConstant_; }
    void SetReadTotalTimeoutConstant(std::uint32_t value) {
        SetTimeout(readTotalTimeoutConstant_, value);
    }
    std::uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalTimeoutMultiplier_; }
    void SetWriteTotalTimeoutMultiplier(std::uint32_t value) {
        SetTimeout(writeTotalTimeoutMultiplier_, value);
    }
    std::uint32_t WriteTotalTimeoutConstant() const { return writeTotalTimeoutConstant_; }
    void SetWriteTotalTimeoutConstant(std::uint32_t value) {
        SetTimeout(writeTotalTimeoutConstant_, value);
    }

    // The whole line settings as they are written to the port.
    platform::SerialLineSettings LineSettings() const;
    platform::SerialTimeouts Timeouts() const;

    // Events (OnReceiveData is declared by CommPort); an event without a handler is skipped.
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

  private:
    template <class T>
    void SetLine(T& field, T value) {
        if (field == value)
            return;
        field = value;
        if (PortHandle() != 0)
            ApplyLineSettings();
    }
    void SetTimeout(std::uint32_t& field, std::uint32_t value) {
        if (field == value)
            return;
        field = value;
        if (PortHandle() != 0)
            ApplyTimeouts();
    }
    bool ApplyLineSettings();
    bool ApplyTimeouts();
    // Undoes a half-finished open and raises ECommsError with message.
    [[noreturn]] void AbandonOpen(const char* message);

    static void HandleNotification(void* context, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam);

    void* owner_;
    std::string commName_ = "COM2";
    std::uint32_t baudRate_ = 9600;
    bool parityCheck_ = false;
    bool outxCtsFlow_ = false;
    bool outxDsrFlow_ = false;
    TDtrControl dtrControl_ = TDtrControl::DtrDisable;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    bool outxXonXoffFlow_ = false;
    bool inxXonXoffFlow_ = false;
    bool replaceWhenParityError_ = false;
    bool ignoreNullChar_ = false;
    TRtsControl rtsControl_ = TRtsControl::RtsDisable;
    std::uint16_t xonLimit_ = 500;
    std::uint16_t xoffLimit_ = 500;
    TByteSize byteSize_ = TByteSize::_8;
    TParity parity_ = TParity::None;
    TStopBits stopBits_ = TStopBits::_2;
    char xonChar_ = 0x11;
    char xoffChar_ = 0x13;
    char replacedChar_ = 0;
    std::uint32_t readIntervalTimeout_ = 3;
    std::uint32_t readTotalTimeoutMultiplier_ = 0;
    std::uint32_t readTotalTimeoutConstant_ = 0;
    std::uint32_t writeTotalTimeoutMultiplier_ = 0;
    std::uint32_t writeTotalTimeoutConstant_ = 0;

    platform::SerialDevice device_ = platform::kNoSerialDevice;
    platform::CloseEvent closeEvent_ = 0;
    platform::WriteQueue writeQueue_ = 0;
    TReadThread* readThread_ = nullptr;
    TWriteThread* writeThread_ = nullptr;
    platform::NotificationTarget notificationTarget_ = 0;
};
