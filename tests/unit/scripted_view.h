// A ProgressView for tests: records what the worker shows and can cancel, close the window or
// deliver a quit request at any pump point.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/progress.h"

class ScriptedView : public ProgressView {
public:
    enum class Action { None, Cancel, Close, Quit };

    // At pump number `pump` (1-based) do `action`.
    ScriptedView(int pump = 0, Action action = Action::None) : actAt_(pump), action_(action) {}

    void SetStatus(const char16_t* text) override { statuses.emplace_back(text); }
    void SetFileRange(std::uint32_t low, std::uint32_t high) override { fileRange = {low, high}; }
    void SetFilePos(std::uint32_t pos) override { filePositions.push_back(pos); }
    void SetTotalRange(std::uint32_t low, std::uint32_t high) override { totalRange = {low, high}; }
    void SetTotalPos(std::uint32_t pos) override { totalPositions.push_back(pos); }

    int PumpMessages() override {
        ++pumps;
        if (onPump) onPump(pumps);
        if (pumps != actAt_) return 0;
        cancel_ = cancel_ || action_ == Action::Cancel;
        closed_ = closed_ || action_ == Action::Close;
        return action_ == Action::Quit ? 1 : 0;
    }
    bool CancelRequested() const override { return cancel_; }
    bool WindowClosed() const override { return closed_; }
    void SetWindowClosed() override { closed_ = true; }

    void Cancel() { cancel_ = true; }

    std::vector<std::u16string> statuses;
    std::vector<std::uint32_t> filePositions;
    std::vector<std::uint32_t> totalPositions;
    std::pair<std::uint32_t, std::uint32_t> fileRange{~0u, ~0u};
    std::pair<std::uint32_t, std::uint32_t> totalRange{~0u, ~0u};
    int pumps = 0;
    std::function<void(int)> onPump;

private:
    int actAt_;
    Action action_;
    bool cancel_ = false;
    bool closed_ = false;
};
