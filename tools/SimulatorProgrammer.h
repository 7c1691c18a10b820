// The programmer's behaviour: the answer to each of the six commands (progress, then the
// result), the reset-and-retry, --answer-as and the erroneous-command report. What it sends goes
// through the Line, which adds the faults and timing asked for.
#pragma once

#include <string>

#include "SimulatorLine.h"
#include "SimulatorOptions.h"
#include "SimulatorWire.h"

namespace sim {

class Programmer {
  public:
    Programmer(Line& line, const Options& options, Receiver& receiver)
        : line_(line), options_(options), receiver_(receiver) {}

    // Answers one command, reading the line meanwhile (see Receiver and Line::SendPacket); prints
    // "COMMAND <letters>", and "ABORTED <letters>" when a reset ended the answer.
    void Serve(const Bytes& packet);

  private:
    // The answer to a command, given its letters (empty when not well-formed).
    void Answer(const std::string& command, const Bytes& packet);
    // The identity and return-data packets asked for, sent before the result.
    void Extras();
    void Program();
    void CheckProgrammer();
    void Reset();

    Line& line_;
    const Options& options_;
    Receiver& receiver_;
    bool retryUsed_ = false;
};

}  // namespace sim
