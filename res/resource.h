// Resource and control identifiers, shared by the C++ code and the resource scripts.
// Dialogs from 100, controls from 1000.
#pragma once

#define IDI_APP 101
#define IDD_PROGRESS 102

#define IDC_ABORT 1000
#define IDC_STATUS 1001
#define IDC_FILE_PROGRESS 1002
#define IDC_TOTAL_PROGRESS 1003
