// Program entry of the tester: one run per start, then exit status 0 whatever the outcome.
#include "CommCXSetup.h"
#include "DefZqCmdLX.h"
#include "MainZqCmdL.h"
#include "Platform.h"

namespace {

std::uint32_t Timer1 = 0;

void Timer1Tick(void* context) {
    auto* form = static_cast<TFormMain*>(context);
    try {
        form->Timer1Timer();
    } catch (...) {
        // Timer1Timer contains its own failures; should one get out all the same, the run ends
        // NG at the next tick instead of the program ending without its files.
        form->RecordHandlerFailure(TesterFailureText);
    }
}

void RunTester(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    TFormMain form(CreateCommCX());
    FormMain = &form;
    form.OnClosed = [] {
        platform::QuitMessageLoop();
        if (Timer1 != 0)
            platform::StopTimer(Timer1);
        Timer1 = 0;
    };
    form.FormCreate();

    Timer1 = platform::StartTimer(TimerIntervalMs, Timer1Tick, &form);
    if (Timer1 != 0) {
        platform::RunMessageLoop();
    } else {
        // Without a timer nothing can arrive either; count the ticks here so the run still ends.
        form.OnClosed = nullptr;
        while (!form.Closed()) {
            platform::SleepMs(TimerIntervalMs);
            Timer1Tick(&form);
        }
    }
    if (!form.Closed()) {
        form.OnClosed = nullptr;
        form.Close();
    }
    FormMain = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        RunTester(argc, argv);
    } catch (...) {
        // The caller learns the outcome from the two files only; the exit status is always 0.
    }
    return 0;
}
