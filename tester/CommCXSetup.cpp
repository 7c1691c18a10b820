#include "CommCXSetup.h"

#include <string>

namespace {

// Stands in for the serial component until the real one is wired in: its port never opens, so
// every run ends by its time-out and both output files are still written.
class ClosedCommPort final : public CommPort {
  public:
    const std::string& CommName() const override { return commName_; }
    void SetCommName(const std::string& name) override { commName_ = name; }
    void OpenPort() override {}
    void ClosePort() override {}
    bool SendData(const std::uint8_t* /*buffer*/, std::uint16_t /*count*/) override {
        return false;
    }
    std::uintptr_t PortHandle() const override { return 0; }

  private:
    std::string commName_ = "COM2";
};

}  // namespace

std::unique_ptr<CommPort> CreateCommCX() {
    return std::make_unique<ClosedCommPort>();
}
