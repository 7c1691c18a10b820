#include "CommCXSetup.h"

#include "Comm.h"

// The main window's serial component with the window's stored settings; the command line
// replaces CommName before the port is opened.
std::unique_ptr<CommPort> CreateCommCX() {
    auto comm = std::make_unique<TComm>();
    comm->SetCommName("COM2");
    comm->SetBaudRate(1000000);
    comm->SetByteSize(TByteSize::_8);
    comm->SetParity(TParity::None);
    comm->SetStopBits(TStopBits::_2);
    comm->SetParityCheck(false);
    comm->SetOutx_CtsFlow(false);
    comm->SetOutx_DsrFlow(false);
    comm->SetDtrControl(TDtrControl::DtrDisable);
    comm->SetDsrSensitivity(false);
    comm->SetTxContinueOnXoff(false);
    comm->SetOutx_XonXoffFlow(false);
    comm->SetInx_XonXoffFlow(false);
    comm->SetReplaceWhenParityError(false);
    comm->SetIgnoreNullChar(false);
    comm->SetRtsControl(TRtsControl::RtsDisable);
    comm->SetXonLimit(500);
    comm->SetXoffLimit(500);
    comm->SetXonChar(0x11);
    comm->SetXoffChar(0x13);
    comm->SetReplacedChar(0);
    comm->SetReadIntervalTimeout(5);
    comm->SetReadTotalTimeoutMultiplier(0);
    comm->SetReadTotalTimeoutConstant(0);
    comm->SetWriteTotalTimeoutMultiplier(0);
    comm->SetWriteTotalTimeoutConstant(0);
    return comm;
}
