// Resource ids of install.rc, and of the code that loads them: the log
// window's dialog template and its text field.
#pragma once
#define IDD_LOG_WINDOW 101
#define IDC_LOG_TEXT 1001
