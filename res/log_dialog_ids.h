// Identifiers of the log dialog's template and controls, shared by the
// resource script and the dialog procedure.
#pragma once

#define IDD_LOG_DIALOG 101
#define IDC_LOG_CLOSE 1
#define IDC_LOG_TEXT 1001
