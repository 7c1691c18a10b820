// The receive path with all decoders: arbitrary bytes in arbitrary chunks.
// Input: one flags byte (bit 0 trace mode, bit 1 retry under way), then chunks, each a
// one-byte length (0 means 2048) followed by up to that many bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DefZqCmdLX.h"
#include "FuzzPort.h"

namespace {

// One pass over the input; PacketBuffer starts filled with stale, so that a decoder reading
// beyond the bytes that arrived shows in the log.
std::vector<std::string> RunChunks(const std::uint8_t* data, std::size_t size, std::uint8_t stale) {
    auto form = FuzzForm();
    std::memset(Link.PacketBuffer, stale, LinkBufferSize);
    RunState.TraceMode = (data[0] & 1) != 0;
    RunState.RetryStarted = (data[0] & 2) != 0;
    std::size_t at = 1;
    while (at < size) {
        std::size_t length = data[at++];
        if (length == 0)
            length = 2048;
        if (length > size - at)
            length = size - at;
        if (length == 0)
            break;
        // A copy exactly as long as the chunk, so reading past it is caught.
        const std::vector<std::uint8_t> chunk(data + at, data + at + length);
        form->CommCXReceiveData(form.get(), chunk.data(), static_cast<std::uint16_t>(length));
        at += length;
        // A finished run would save its files on the tick: stop before that.
        if (RunState.RunFinished)
            break;
        form->Timer1Timer();  // the retry countdown may re-send a command
    }
    std::vector<std::string> log = form->InfoMemo.Lines();
    FormMain = nullptr;
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    if (RunChunks(data, size, 0x00) != RunChunks(data, size, 0xA5))
        std::abort();  // a decoder showed bytes that never arrived
    return 0;
}
