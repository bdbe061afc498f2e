// The run's log: indented lines and the numbered errors, one function per
// code.
#pragma once

#include <windows.h>

struct InstallSession;

// One indented line: two blanks per depth level (at most 10 levels), the
// formatted text (%s is a UTF-16 text), CR LF. Text longer than 1023
// characters is cut.
void LogLine(InstallSession& session, const wchar_t* format, ...);
// The run's errors, one function per code (log.cpp holds the texts). Each
// writes "Error(code): " with the message, then " - (system text of the last
// error)" when the last error is not 0, and counts the error.
void LogServiceManagerOpenFailed(InstallSession& session);          // 1
void LogSpoolerOpenFailed(InstallSession& session);                 // 2
void LogSpoolerStopFailed(InstallSession& session);                 // 3
void LogSpoolerStartFailed(InstallSession& session);                // 4
void LogControlServiceFailed(InstallSession& session, DWORD error); // 5
void LogDriverDirectoryUnknown(InstallSession& session);            // 6
void LogSystemDirectoryUnknown(InstallSession& session);            // 7
void LogCopyFailed(InstallSession& session, const wchar_t* target); // 8
void LogCopyDestinationFailed(InstallSession& session, const wchar_t* path);  // 9
void LogCopySourceFailed(InstallSession& session, const wchar_t* name);       // 10
void LogMonitorInstallFailed(InstallSession& session);              // 11
void LogMonitorRemoveFailed(InstallSession& session);               // 12
void LogDriverInstallFailed(InstallSession& session);               // 13
void LogDriverRemoveFailed(InstallSession& session);                // 14
void LogPrinterAddFailed(InstallSession& session, const wchar_t* printer);     // 15
void LogPrinterOpenFailed(InstallSession& session, const wchar_t* printer);    // 16
void LogPrinterDeleteFailed(InstallSession& session, const wchar_t* printer);  // 17
void LogOtherRunWaitFailed(InstallSession& session);                // 18
void LogFileDeleteFailed(InstallSession& session, const wchar_t* path);       // 19
void LogJournalWriteFailed(InstallSession& session);                // 20
void LogCantCarryPrinter(InstallSession& session, const wchar_t* printer);     // 21
void LogCantKeepPreviousFile(InstallSession& session, const wchar_t* path);    // 22
void LogCantPutBackPrevious(InstallSession& session, const wchar_t* what);     // 23

// The message format of an error code (1 to 23), as its function above
// writes it; "" for any other code.
const wchar_t* ErrorMessageFormat(int code);


// The system's English text for an error code (FormatMessageW, language
// 1033), or null; release with Os().LocalFree.
wchar_t* SystemErrorText(DWORD code);
