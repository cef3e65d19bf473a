// The monitor list and the dialog's placement.
#include "app/monitors.h"

MonitorList g_monitorList = {nullptr, nullptr};

void CollectMonitors() { EnumDisplayMonitors(nullptr, nullptr, MonitorEnumCallback, 0); }

BOOL CALLBACK MonitorEnumCallback(HMONITOR, HDC, LPRECT rect, LPARAM) noexcept {
    // Running out of memory here ends the process, like every allocation failure of the program:
    // noexcept makes that the same on both builds, rather than an unwind through user32's frames.
    MonitorEntry*& last = g_monitorList.tail;
    MonitorEntry* entry = new MonitorEntry{last ? last->index + 1 : 0, *rect, nullptr};
    (last ? last->next : g_monitorList.head) = entry;
    last = entry;
    return TRUE;
}

int GetMonitorRect(RECT* out, std::int32_t index) {
    for (MonitorEntry* entry = g_monitorList.head; entry; entry = entry->next) {
        if (entry->index == index) {
            *out = entry->rect;
            return 1;
        }
    }
    return 0;
}

void FreeMonitorList() {
    while (MonitorEntry* entry = g_monitorList.head) {
        g_monitorList.head = entry->next;
        delete entry;
    }
    g_monitorList.tail = nullptr;
}

namespace {

// Where the dialog goes when the enumeration reported nothing: the primary work area (the screen
// less the taskbar), or the primary screen when even that is unknown.
RECT FallbackArea() {
    RECT area = {0, 0, 0, 0};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
        area.right = GetSystemMetrics(SM_CXSCREEN);
        area.bottom = GetSystemMetrics(SM_CYSCREEN);
    }
    return area;
}

}  // namespace

void CenterDialog(HWND window) {
    RECT w = {0, 0, 0, 0};
    GetWindowRect(window, &w);
    RECT m;
    POINT origin = {0, 0};
    if (!GetMonitorRect(&m, 0)) {
        m = FallbackArea();
        origin = {m.left, m.top};
    }
    // Signed division truncates toward zero: a window 3 units wider than the monitor gets x = -1.
    const LONG x = origin.x + ((m.right - m.left) - (w.right - w.left)) / 2;
    const LONG y = origin.y + ((m.bottom - m.top) - (w.bottom - w.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE);
}
