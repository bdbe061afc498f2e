// Creating one printer of the product on the "Loomscribe:" port.
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "printers/printers.h"
#include "session/log_section.h"

HANDLE AddProductPrinter(InstallSession& session, const wchar_t* name, MonitorCheck* check,
                         const wchar_t* comment, const wchar_t* location) {
  const wchar_t* shown = name ? name : L"*";
  LogSection section(session, L">AddPrinter(%s)", shown);

  // Only a diagnostic: the printer is requested whether or not the monitor is
  // registered, and the spooler's refusal is what gets reported.
  LogLine(session, L"Let's check our port monitors");
  MonitorCheck own;
  if (!check || !check->list.buffer) {
    if (!check) check = &own;
    ListMonitors(check->list, session);
  }
  const MonitorList& monitors = check->list;
  if (FindProductMonitor(monitors) >= 0) {
    LogLine(session, L"Port monitor is found");
  } else {
    LogLine(session, L"No Loomscribe port monitor was found.");
    if (monitors.buffer && monitors.count > 0)
      LogMonitorList(session, monitors);
    else
      LogLine(session, L"BTW, there is no port monitors on this system.");
  }

  // The spooler takes non-const strings but does not write to them.
  static wchar_t processor[] = L"WinPrint";
  static wchar_t emptyComment[] = L"";
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<wchar_t*>(name);
  info.pPortName = const_cast<wchar_t*>(kProductPort);
  info.pDriverName = const_cast<wchar_t*>(kProductDriver);
  info.pComment = comment ? const_cast<wchar_t*>(comment) : emptyComment;  // never a missing one
  info.pLocation = const_cast<wchar_t*>(location);
  info.pPrintProcessor = processor;
  HANDLE printer = Os().AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (printer)
    LogLine(session, L"OK :)");
  else
    LogPrinterAddFailed(session, shown);
  return printer;
}
