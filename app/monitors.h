// The display monitors' rectangles, collected once when the dialog starts, and the placement of
// the dialog by the first monitor's size.
#pragma once

#include <windows.h>

#include <cstdint>

struct MonitorEntry {
    std::int32_t index;  // 0, 1, 2 ... in the order the enumeration reported the monitors
    RECT rect;           // virtual-screen coordinates
    MonitorEntry* next;
};

// Singly linked, appended at the tail; both ends null when empty.
struct MonitorList {
    MonitorEntry* head;
    MonitorEntry* tail;
};

extern MonitorList g_monitorList;

// Appends every display monitor to the list (what it holds already stays).
void CollectMonitors();
// EnumDisplayMonitors callback: appends a copy of the monitor rectangle and goes on.
BOOL CALLBACK MonitorEnumCallback(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data) noexcept;
// 1 and the rectangle of the entry with that index, or 0 and out untouched.
int GetMonitorRect(RECT* out, std::int32_t index);
// Frees every entry; the list is empty afterwards.
void FreeMonitorList();

// Moves the window to the centre of monitor 0's size measured from the screen origin (which is
// the centre of that monitor when it starts at 0, 0). With no monitor collected, centres it on
// the primary monitor's work area instead.
void CenterDialog(HWND window);
