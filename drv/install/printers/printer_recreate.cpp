// Carrying the product's printers across a re-install: name, "SubKey" data,
// comment, location and default status.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "journal/journal.h"
#include "printers/journal.h"
#include "printers/printers.h"

namespace {

constexpr DWORD kSubKeyBytes = 64;  // 63 characters and the terminator

// One place's "SubKey" into `out` (kSubKeyBytes). It counts only as REG_SZ
// text that ends within the 64 bytes: the spooler hands back a value stored
// without its terminator as it is, so a 64-byte value would otherwise run on
// into whatever follows the buffer.
bool TakeSubKey(DWORD status, DWORD type, const char* read, char* out) {
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  const void* end = std::memchr(read, '\0', kSubKeyBytes);
  if (!end) return false;
  std::memcpy(out, read, static_cast<size_t>(static_cast<const char*>(end) - read) + 1);
  return true;
}

}  // namespace

void ReadPrinterSubKey(HANDLE printer, char* buffer) {
  char read[kSubKeyBytes] = {};
  DWORD type = REG_NONE;
  DWORD needed = 0;
  DWORD status = Os().GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), &type,
                                      reinterpret_cast<LPBYTE>(read), kSubKeyBytes, &needed);
  if (TakeSubKey(status, type, read, buffer)) return;

  std::memset(read, 0, sizeof read);
  type = REG_NONE;
  needed = 0;
  status = Os().GetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, &type,
                                  reinterpret_cast<LPBYTE>(read), kSubKeyBytes, &needed);
  if (TakeSubKey(status, type, read, buffer)) return;
  buffer[0] = '\0';
}

void SaveProductPrinter(InstallSession& session, PRINTER_INFO_2W* printer, char* subKeyOut) {
  if (subKeyOut) subKeyOut[0] = '\0';
  // OpenPrinterW with no name would open the print server, not a printer.
  if (!printer || !printer->pPrinterName) return;
  char subKey[260] = {};
  // Opened as the delete step will need it, which then takes the handle
  // from the node; a printer this account may read but not delete is still
  // read, and its delete step reports the refusal.
  HANDLE opened = nullptr;
  bool forDelete = OpenPrinterForDelete(printer->pPrinterName, &opened);
  if (!forDelete && (Os().GetLastError() != ERROR_ACCESS_DENIED ||
                     !Os().OpenPrinterW(printer->pPrinterName, &opened, nullptr) || !opened))
    return;
  UniquePrinter handle(opened);
  ReadPrinterSubKey(handle.get(), subKey);
  if (subKeyOut) std::memcpy(subKeyOut, subKey, kSubKeyBytes);
  if (subKey[0]) {
    auto* node = static_cast<SavedPrinter*>(Os().GlobalAlloc(GPTR, sizeof(SavedPrinter)));
    if (node) {
      size_t length = std::strlen(subKey);
      node->subKey = static_cast<char*>(Os().GlobalAlloc(GPTR, length + 1));
      if (node->subKey) std::memcpy(node->subKey, subKey, length);
      node->printer = printer;
      if (forDelete) node->opened = handle.release();
      node->next = session.SavedPrinters;
      session.SavedPrinters = node;
    }
  }
}

bool WritePrinterSubKey(HANDLE printer, const char* subKey) {
  if (!subKey) {
    Os().SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD bytes = static_cast<DWORD>(std::strlen(subKey) + 1);
  auto* data = reinterpret_cast<LPBYTE>(const_cast<char*>(subKey));
  // The first place is written on a best-effort basis; "DsUser" decides.
  Os().SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
  return Os().SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes) ==
         ERROR_SUCCESS;
}

bool ClearDeletedMarker(const char* path) {
  if (!path) return false;
  size_t bytes = std::strlen(path) + 46;  // the product key, a backslash, the path, NUL
  UniqueGlobal<char> key(static_cast<char*>(Os().GlobalAlloc(GPTR, bytes)));
  if (!key) return false;
  if (_snprintf_s(key.get(), bytes, _TRUNCATE, "%s\\%s", kProductUserKey, path) < 0) return false;
  UniqueKey opened;
  LSTATUS status = Os().RegOpenKeyExA(HKEY_CURRENT_USER, key.get(), 0, KEY_ALL_ACCESS, opened.put());
  key.reset();
  if (status != ERROR_SUCCESS) return false;
  return Os().RegDeleteValueA(opened.get(), "deleted") == ERROR_SUCCESS;
}

namespace {

// Both places: the product's components read either. Then the per-user
// marker of the value the printer now holds is cleared (when `clearMarker`).
// True when both writes succeeded.
bool WriteSubKeyAndClearMarker(HANDLE printer, const char* subKey, bool clearMarker) {
  if (!subKey) return false;
  DWORD bytes = static_cast<DWORD>(std::strlen(subKey) + 1);
  auto* data = reinterpret_cast<LPBYTE>(const_cast<char*>(subKey));
  bool plain = Os().SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data,
                                    bytes) == ERROR_SUCCESS;
  bool written = Os().SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes) ==
                     ERROR_SUCCESS &&
                 plain;
  // With both writes done the printer holds `subKey` itself. A value longer
  // than a read can take counts as none, as it would for a read back.
  if (written && clearMarker && bytes <= kSubKeyBytes) {
    char path[260] = {};
    std::memcpy(path, kMarkerPrefix, kMarkerPrefixLength);
    std::memcpy(path + kMarkerPrefixLength, subKey, bytes);
    if (subKey[0]) ClearDeletedMarker(path);
  }
  return written;
}

}  // namespace

bool CarrySettings(HANDLE printer, const char* subKey, const wchar_t* comment,
                   const wchar_t* location, bool makeDefault, bool clearMarker) {
  bool stored = false;
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  if (info.buffer) {
    UniqueGlobal<PRINTER_INFO_2W> record(info.buffer);
    record.get()->pComment = const_cast<wchar_t*>(comment);
    record.get()->pLocation = const_cast<wchar_t*>(location);
    stored = Os().SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(record.get()), 0) != FALSE;
    if (makeDefault) Os().SetDefaultPrinterW(record.get()->pPrinterName);
  }
  return WriteSubKeyAndClearMarker(printer, subKey, clearMarker) && stored;
}

bool CarryToNewPrinter(HANDLE printer, const wchar_t* name, const char* subKey, bool makeDefault,
                       bool clearMarker) {
  if (makeDefault) Os().SetDefaultPrinterW(name);
  return WriteSubKeyAndClearMarker(printer, subKey, clearMarker);
}

void RecreateSavedPrinters(InstallSession& session) {
  CarriedJournal* run = session.Journal;
  int recreated = 0;
  // The default printer passes to the first product printer made whole here,
  // when the one that held it is not carried (or an earlier run said so).
  auto takesDefault = [run] { return run && run->defaultToFirst == 1; };
  auto tookDefault = [run] {
    if (run) run->defaultToFirst = 2;
  };
  MonitorCheck monitors;
  for (SavedPrinter* node = session.SavedPrinters; node; node = node->next) {
    PRINTER_INFO_2W* saved = node->printer;
    if (!saved || !saved->pPrinterName) continue;
    UniquePrinter printer(AddProductPrinter(session, saved->pPrinterName, &monitors,
                                            saved->pComment, saved->pLocation));
    if (!printer) continue;
    bool makeDefault =
        ((saved->Attributes & PRINTER_ATTRIBUTE_DEFAULT) && IsProductDriverName(saved->pDriverName)) ||
        JournalWantsDefault(session, saved->pPrinterName) || takesDefault();
    if (CarryToNewPrinter(printer.get(), saved->pPrinterName, node->subKey, makeDefault)) {
      JournalPrinterRecreated(session, saved->pPrinterName);
      if (makeDefault) tookDefault();
    }
    ++recreated;
  }
  // What could not be carried whole, and what earlier runs left, comes from
  // the journal; those printers count as re-created too.
  recreated += ReplayJournal(session);

  // A first install, or one whose saved printers all failed, gets one printer.
  if (recreated == 0) {
    UniquePrinter printer(AddProductPrinter(session, kFirstPrinterName, &monitors));
    if (printer && takesDefault() && Os().SetDefaultPrinterW(kFirstPrinterName)) tookDefault();
  }
  FinishJournal(session);
}
