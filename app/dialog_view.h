// The worker's view of the real progress dialog.
#pragma once

#include <windows.h>

#include "update/progress.h"

// Takes the three control handles once, from the progress dialog that exists when it is made.
// Calls for a control that does not exist are skipped; after the dialog was closed the stored
// handles are dead and the calls simply have no effect.
class DialogView final : public ProgressView {
public:
    DialogView();

    void SetStatus(const char16_t* text) override;
    void SetFileRange(std::uint32_t low, std::uint32_t high) override;
    void SetFilePos(std::uint32_t pos) override;
    void SetTotalRange(std::uint32_t low, std::uint32_t high) override;
    void SetTotalPos(std::uint32_t pos) override;
    int PumpMessages() override;
    bool CancelRequested() const override;
    bool WindowClosed() const override;
    void SetWindowClosed() override;

private:
    HWND status_;
    HWND fileProgress_;
    HWND totalProgress_;
};
