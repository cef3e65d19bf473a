#include "tools/patchtool/console_view.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "kit/common/utf8_text.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
    // Some run-times reset the handler before calling it; a second Ctrl-C must not kill the run.
    std::signal(SIGINT, OnInterrupt);
}

constexpr int kBarWidth = 24;

}  // namespace

ConsoleView::ConsoleView(std::ostream& out, const ConsoleIo& io) : out_(out), io_(io), line_(out, io.errIsTerminal) {
    g_interrupted = 0;
    previousHandler_ = std::signal(SIGINT, OnInterrupt);
}

ConsoleView::~ConsoleView() {
    std::signal(SIGINT, previousHandler_ == SIG_ERR ? SIG_DFL : previousHandler_);
    g_interrupted = 0;
}

void ConsoleView::Interrupt() { g_interrupted = 1; }

void ConsoleView::SetStatus(const char16_t* text) {
    status_ = NarrowToUtf8(text);
    dirty_ = true;
    if (!io_.errIsTerminal) out_ << status_ << '\n' << std::flush;
}

int ConsoleView::PumpMessages() {
    if (g_interrupted) {
        g_interrupted = 0;
        if (!cancel_) AskToCancel();
    }
    if (dirty_ && io_.errIsTerminal) Draw();
    return 0;
}

void ConsoleView::Draw() {
    dirty_ = false;
    line_.Draw(status_ + "  " + ProgressLine::Meter(filePos_, fileHigh_) + "  file " + std::to_string(totalPos_) +
               "/" + std::to_string(totalHigh_));
}

void ConsoleView::AskToCancel() {
    line_.Finish();
    out_ << "Cancel the update? [y/N] " << std::flush;
    std::string answer;
    if (!io_.in || !io_.inInteractive) {
        out_ << "y (no one to answer)\n";
        cancel_ = true;
    } else if (!std::getline(*io_.in, answer)) {
        out_ << "y (end of input)\n";
        cancel_ = true;
    } else {
        std::size_t first = answer.find_first_not_of(" \t\r");
        cancel_ = first != std::string::npos && (answer[first] == 'y' || answer[first] == 'Y');
    }
    out_ << (cancel_ ? "Cancelling: nothing in the folder will be replaced.\n" : "Going on.\n") << std::flush;
    dirty_ = !cancel_;
}

std::string ProgressLine::Meter(std::uint64_t done, std::uint64_t total) {
    std::uint64_t percent = total ? std::min(done, total) * 100 / total : 100;
    int filled = static_cast<int>(percent * kBarWidth / 100);
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] " + std::to_string(percent) + "%";
}

void ProgressLine::Draw(const std::string& line) {
    if (!terminal_ || line == shown_) return;
    // Spaces over what is left of a longer line before it.
    std::string padded = line;
    if (line.size() < shown_.size()) padded += std::string(shown_.size() - line.size(), ' ');
    out_ << '\r' << padded << std::flush;
    shown_ = line;
}

void ProgressLine::Finish() {
    if (!shown_.empty()) out_ << '\n' << std::flush;
    shown_.clear();
}
