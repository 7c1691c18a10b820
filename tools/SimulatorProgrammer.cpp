// The programmer's answers to the commands (see SimulatorProgrammer.h).
#include "SimulatorProgrammer.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

void Programmer::Serve(const Bytes& packet) {
    const std::string command = CommandOf(packet);
    const char* letters = command.empty() ? "?" : command.c_str();
    std::fprintf(stdout, "COMMAND %s\n", letters);
    std::fflush(stdout);
    if (options_.silent)
        return;
    receiver_.SetBusy(true);
    line_.BeginAnswer();
    Answer(command.empty() || options_.answerAs.empty() ? command : options_.answerAs, packet);
    line_.Flush();
    receiver_.SetBusy(false);
    if (line_.Aborted()) {
        std::fprintf(stdout, "ABORTED %s\n", letters);
        std::fflush(stdout);
    }
}

void Programmer::Answer(const std::string& command, const Bytes& packet) {
    if (options_.unknownTypes) {
        line_.SendPacket(packet);  // an echo of the command
        line_.SendPacket(Bytes{0x55, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
    }
    if (command.empty() || options_.errorCommand) {
        line_.SendPacket(StateReport(3, "CERR"));
    } else if (command == "APRG") {
        Program();
    } else if (command == "CKPG") {
        CheckProgrammer();
    } else if (command == "REST") {
        Reset();
    } else if (command == "CKSK") {
        line_.SendPacket(StateReport(0, "PCNI"));
        Extras();
        line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
    } else if (command == "RDSX") {
        Extras();
        line_.SendPacket(StatusPacket(0xF6, options_.status, 0x3C5A, 0xB7E1));
    } else if (command == "ERAS") {
        line_.SendPacket(StatusPacket(0x30, 0, 0, 0));
        for (unsigned b = 0; b < options_.blocks; ++b)
            line_.SendPacket(StatusPacket(0x3F, static_cast<std::uint8_t>(b), 0, 0));
        Extras();
        line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
    }
}

void Programmer::Extras() {
    if (options_.haveId)
        line_.SendPacket(IdentityPacket(options_.id));
    if (options_.haveReturnData)
        line_.SendPacket(
            ReturnDataPacket(options_.returnDataId, options_.returnData, options_.badReturnCheck));
}

void Programmer::Program() {
    const unsigned blocks = options_.blocks;
    line_.SendPacket(StatusPacket(0x10, 0, 0x3C5A, 0xB7E1));
    line_.SendPacket(StatusPacket(0x20, 0, 0, 0));
    for (unsigned b = 0; b < blocks; ++b)
        line_.SendPacket(StatusPacket(0x2F, static_cast<std::uint8_t>(b), 0, 0));
    line_.SendPacket(StatusPacket(0x30, 0, 0, 0));
    for (unsigned b = 0; b < blocks; ++b)
        line_.SendPacket(StatusPacket(0x3F, static_cast<std::uint8_t>(b), 0, 0));
    line_.SendPacket(StatusPacket(0x40, 0, 0, 0));
    for (unsigned b = 0; b < blocks; ++b)
        line_.SendPacket(StatusPacket(0x4F, static_cast<std::uint8_t>(b), 0, 0));
    for (unsigned long i = 0; i < options_.progress; ++i)
        line_.SendPacket(StatusPacket(0x4F, static_cast<std::uint8_t>(i & 0xFF), 0, 0));
    line_.SendPacket(StatusPacket(0x70, 0, 0, 0));
    for (unsigned b = 0; b < blocks; ++b)
        line_.SendPacket(StatusPacket(0x7F, static_cast<std::uint8_t>(b), 0, 0));
    line_.SendPacket(StatusPacket(0xA0, 1, 0x1005, 0x0000));
    Extras();
    std::uint8_t status = options_.status;
    if (options_.retryStatus >= 0 && !retryUsed_) {
        status = static_cast<std::uint8_t>(options_.retryStatus);
        retryUsed_ = true;
    }
    switch (options_.completion) {
        case 0xF1:
            line_.SendPacket(StatusPacket(0xF1, status, 0x5678, 0x1234));
            break;
        case 0xF2:
            line_.SendPacket(StatusPacket(0xF2, status, 0xBEEF, 0xDEAD));
            break;
        default:
            line_.SendPacket(StatusPacket(0xF0, status, 0x3C5A, 0xB7E1));
            break;
    }
}

void Programmer::CheckProgrammer() {
    if (options_.status != 0x06) {
        line_.SendPacket(StateReport(1, "WPGN"));
        Extras();
        line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
        return;
    }
    line_.SendPacket(StateReport(1, "WPKO"));
    Bytes state{0xFD, 0xFA, 0x02, 0x00, 0x06, 0x06, 0x00};
    state.push_back(SumCheck(state, 0, 7));
    line_.SendPacket(state);
    Extras();
    line_.SendPacket(ProgrammerInformation(options_.info));
}

void Programmer::Reset() {
    if (options_.status != 0x06 && options_.retryStatus < 0) {
        line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
        return;
    }
    line_.Pause(50);  // the programmer restarts, then announces itself
    Extras();
    line_.SendPacket(ProgrammerInformation(options_.info));
}

}  // namespace sim
