// Any bytes as a run log, read for every command, with the log named OK and NG; the same bytes as
// an --expect-data value, matched against what the log reported.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "RunRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    const gang::Sums expected = gang::ParseExpectedData(bytes, error);
    for (const gang::GangCommand command :
         {gang::GangCommand::Program, gang::GangCommand::Check, gang::GangCommand::Reset,
          gang::GangCommand::ReadSum, gang::GangCommand::Erase}) {
        for (const bool logNamedOK : {false, true}) {
            const gang::RunRecord record = gang::ReadRunRecord(bytes, command, logNamedOK);
            // A verdict of OK always comes with the command's own ending answer.
            if (record.ok && record.endingLine.empty())
                __builtin_trap();
            (void)gang::DataSumMismatch(record, expected);
        }
    }
    (void)gang::LastStampedText(bytes);
    return 0;
}
