// A serial component whose port never opens, and a window set up for fuzzing: fixed clock, no
// sleeping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CommPort.h"
#include "MainZqCmdL.h"

class FuzzPort : public CommPort {
  public:
    const std::string& CommName() const override { return name_; }
    void SetCommName(const std::string& n) override { name_ = n; }
    void OpenPort() override {}
    void ClosePort() override {}
    bool SendData(const std::uint8_t* buffer, std::uint16_t count) override {
        // Touch every byte so that a frame built past its buffer shows up.
        std::uint8_t sum = 0;
        for (std::uint16_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + buffer[i]);
        lastSum = sum;
        return false;
    }
    std::uintptr_t PortHandle() const override { return 0; }
    std::uint8_t lastSum = 0;

  private:
    std::string name_ = "COM2";
};

inline std::unique_ptr<TFormMain> FuzzForm() {
    auto form = std::make_unique<TFormMain>(std::make_unique<FuzzPort>());
    form->LongTimeText = [] { return std::string("12:00:00"); };
    form->ShortDateText = [] { return std::string("2024-01-31"); };
    form->SleepMs = [](unsigned) {};
    FormMain = form.get();
    return form;
}
