// The update's progress on a console, for `patchtool apply`.
//
// On a terminal the status and both bars share one line that is redrawn with '\r'; otherwise every
// new status is a line of its own, so logs stay readable. Ctrl-C does not kill the run halfway
// through a file: it is noted, and at the next pump the user is asked to confirm, as the patcher's
// cancel button does. Nobody to ask (input not interactive or at its end) counts as yes.
#pragma once

#include <csignal>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "tools/patchtool/console_io.h"
#include "update/progress.h"

// One line redrawn with '\r' on a terminal, and nothing at all otherwise. It redraws only when what it
// shows changes.
class ProgressLine {
public:
    ProgressLine(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
    ~ProgressLine() { Finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // "[######                  ] 25%"
    static std::string Meter(std::uint64_t done, std::uint64_t total);
    void Draw(const std::string& line);
    // A bar for work measured in bytes (build, check): the meter, then what is being done.
    void Show(const std::string& label, std::uint64_t done, std::uint64_t total) {
        Draw(Meter(done, total) + "  " + label);
    }
    // Ends the line so what follows starts on a line of its own.
    void Finish();

private:
    std::ostream& out_;
    bool terminal_;
    std::string shown_;
};

class ConsoleView : public ProgressView {
public:
    // Catches SIGINT for its lifetime.
    ConsoleView(std::ostream& out, const ConsoleIo& io);
    ~ConsoleView() override;
    ConsoleView(const ConsoleView&) = delete;
    ConsoleView& operator=(const ConsoleView&) = delete;

    void SetStatus(const char16_t* text) override;
    void SetFileRange(std::uint32_t, std::uint32_t high) override { Set(fileHigh_, high); }
    void SetFilePos(std::uint32_t pos) override { Set(filePos_, pos); }
    void SetTotalRange(std::uint32_t, std::uint32_t high) override { Set(totalHigh_, high); }
    void SetTotalPos(std::uint32_t pos) override { Set(totalPos_, pos); }
    int PumpMessages() override;  // 0: a console has no window to close
    bool CancelRequested() const override { return cancel_; }

    // What Ctrl-C does: marks an interrupt for the next pump.
    static void Interrupt();

private:
    // Every change of what is shown is drawn at the next pump.
    void Set(std::uint32_t& field, std::uint32_t value) {
        field = value;
        dirty_ = true;
    }
    void Draw();
    void AskToCancel();

    std::ostream& out_;
    ConsoleIo io_;
    void (*previousHandler_)(int) = nullptr;
    std::string status_;
    std::uint32_t fileHigh_ = 0, filePos_ = 0;
    std::uint32_t totalHigh_ = 0, totalPos_ = 0;
    ProgressLine line_;
    bool dirty_ = false;
    bool cancel_ = false;
};
