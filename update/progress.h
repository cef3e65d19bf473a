// The worker's only window on the progress dialog.
//
// The patcher implements it with the real dialog and message pump, the tests with a scripted view
// that can cancel or close at any pump point, patchtool with a console view. A view whose control
// does not exist simply ignores the calls for it; this base shows nothing and is never cancelled
// (the proof of a release build runs the engine with it).
#pragma once

#include <cstdint>

class ProgressView {
public:
    virtual ~ProgressView() = default;

    // The status line ("<name>をインストール中").
    virtual void SetStatus(const char16_t*) {}
    // The bar of the current entry, and the bar over all entries.
    virtual void SetFileRange(std::uint32_t /*low*/, std::uint32_t /*high*/) {}
    virtual void SetFilePos(std::uint32_t) {}
    virtual void SetTotalRange(std::uint32_t /*low*/, std::uint32_t /*high*/) {}
    virtual void SetTotalPos(std::uint32_t) {}

    // Dispatches everything pending without blocking: 0 when the queue is empty, 1 when a quit
    // request was met or dispatching failed.
    virtual int PumpMessages() { return 0; }

    // The two flags the dialog sets; never cleared once set.
    virtual bool CancelRequested() const { return false; }
    virtual bool WindowClosed() const { return false; }
    virtual void SetWindowClosed() {}
};
