// lmxui64.dll: the configuration file of the driver "Loomscribe printer".
//
// The spooler and GDI ask it for the driver's device mode: its size, the
// default one, and a caller's one merged over the default. AddPrinterW
// (Wine's, at least) calls DrvDocumentPropertySheets for the default device
// mode of a new printer without checking that the export exists, so this
// file must answer those queries even though the product shows no property
// pages of its own.
#include <windows.h>
#include <winspool.h>
#include <compstui.h>

#include <cstddef>
#include <cwchar>

namespace {

// The header the spooler passes as lParam (winddiui.h in the WDK; mingw's
// header lacks it).
struct DocumentPropertyHeader {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
};

constexpr WORD kDriverVersion = 0x0100;
constexpr DWORD kFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY |
                          DM_YRESOLUTION | DM_COLOR | DM_FORMNAME;
constexpr DWORD kDevModeSize = sizeof(DEVMODEW);

struct Paper {
  WORD id;
  const wchar_t* name;
  LONG width;   // tenths of a millimetre
  LONG height;
};
const Paper kPapers[] = {
    {DMPAPER_A4, L"A4", 2100, 2970},
    {DMPAPER_LETTER, L"Letter", 2159, 2794},
    {DMPAPER_LEGAL, L"Legal", 2159, 3556},
    {DMPAPER_A5, L"A5", 1480, 2100},
};
constexpr DWORD kPaperCount = sizeof(kPapers) / sizeof(kPapers[0]);
const WORD kResolutions[] = {300, 600};

const Paper* FindPaper(short id) {
  for (const Paper& paper : kPapers)
    if (paper.id == id) return &paper;
  return nullptr;
}

void CopyName(wchar_t* target, size_t chars, const wchar_t* text) {
  size_t i = 0;
  for (; text && text[i] && i + 1 < chars; ++i) target[i] = text[i];
  target[i] = 0;
}

void DefaultDevMode(DEVMODEW* dm, const wchar_t* printer) {
  memset(dm, 0, sizeof(*dm));
  CopyName(dm->dmDeviceName, CCHDEVICENAME, printer ? printer : L"Loomscribe printer");
  dm->dmSpecVersion = DM_SPECVERSION;
  dm->dmDriverVersion = kDriverVersion;
  dm->dmSize = sizeof(DEVMODEW);
  dm->dmDriverExtra = 0;
  dm->dmFields = kFields;
  dm->dmOrientation = DMORIENT_PORTRAIT;
  dm->dmPaperSize = DMPAPER_A4;
  dm->dmCopies = 1;
  dm->dmPrintQuality = 600;
  dm->dmYResolution = 600;
  dm->dmColor = DMCOLOR_COLOR;
  CopyName(dm->dmFormName, CCHFORMNAME, L"A4");
}

// Takes over the caller's supported settings that hold valid values. The
// caller's record is read only within its own stated size.
void MergeDevMode(DEVMODEW* dm, const DEVMODEW* in) {
  if (!in || in->dmSize < offsetof(DEVMODEW, dmFormName)) return;
  if ((in->dmFields & DM_ORIENTATION) &&
      (in->dmOrientation == DMORIENT_PORTRAIT || in->dmOrientation == DMORIENT_LANDSCAPE))
    dm->dmOrientation = in->dmOrientation;
  if ((in->dmFields & DM_PAPERSIZE)) {
    if (const Paper* paper = FindPaper(in->dmPaperSize)) {
      dm->dmPaperSize = paper->id;
      CopyName(dm->dmFormName, CCHFORMNAME, paper->name);
    }
  }
  if ((in->dmFields & DM_COPIES) && in->dmCopies >= 1 && in->dmCopies <= 999)
    dm->dmCopies = in->dmCopies;
  if ((in->dmFields & DM_COLOR) && (in->dmColor == DMCOLOR_COLOR || in->dmColor == DMCOLOR_MONOCHROME))
    dm->dmColor = in->dmColor;
  if ((in->dmFields & DM_PRINTQUALITY) && (in->dmPrintQuality == 300 || in->dmPrintQuality == 600)) {
    dm->dmPrintQuality = in->dmPrintQuality;
    dm->dmYResolution = in->dmPrintQuality;
  }
}

// The answer to one document-properties request without a dialog.
LONG DocumentProperties(DocumentPropertyHeader* header) {
  if (!header || header->cbSize < sizeof(DocumentPropertyHeader)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (header->fMode == 0 || !header->pdmOut) {
    header->cbOut = kDevModeSize;
    return static_cast<LONG>(kDevModeSize);
  }
  if (header->cbOut < kDevModeSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  DEVMODEW result;
  DefaultDevMode(&result, header->pszPrinterName);
  if (header->fMode & DM_IN_BUFFER) MergeDevMode(&result, header->pdmIn);
  memcpy(header->pdmOut, &result, sizeof(result));
  return CPSUI_OK;
}

}  // namespace

extern "C" LONG WINAPI DrvDocumentPropertySheets(PPROPSHEETUI_INFO info, LPARAM lParam) {
  if (!info) return DocumentProperties(reinterpret_cast<DocumentPropertyHeader*>(lParam));
  // Called through the common property sheet UI: no pages of our own; the
  // device mode is filled when the sheet is set up.
  if (info->Reason == PROPSHEETUI_REASON_INIT) {
    auto* header = reinterpret_cast<DocumentPropertyHeader*>(info->lParamInit);
    if (header && header->pdmOut && (header->fMode & DM_OUT_BUFFER) &&
        DocumentProperties(header) < 0)
      return -1;
  }
  info->Result = CPSUI_OK;
  return 1;
}

extern "C" LONG WINAPI DrvDevicePropertySheets(PPROPSHEETUI_INFO info, LPARAM lParam) {
  // The printer has no device settings to show or change.
  if (info) info->Result = CPSUI_OK;
  return 1;
}

extern "C" DWORD WINAPI DrvDeviceCapabilities(HANDLE printer, PWSTR deviceName, WORD capability,
                                              PVOID output, PDEVMODEW devMode) {
  switch (capability) {
    case DC_FIELDS:
      return kFields;
    case DC_SIZE:
      return sizeof(DEVMODEW);
    case DC_EXTRA:
      return 0;
    case DC_VERSION:
      return DM_SPECVERSION;
    case DC_DRIVER:
      return kDriverVersion;
    case DC_COPIES:
      return 999;
    case DC_ORIENTATION:
      return 90;
    case DC_COLORDEVICE:
      return 1;
    case DC_DUPLEX:
    case DC_COLLATE:
    case DC_STAPLE:
      return 0;
    case DC_PAPERS: {
      auto* ids = static_cast<WORD*>(output);
      if (ids)
        for (DWORD i = 0; i < kPaperCount; ++i) ids[i] = kPapers[i].id;
      return kPaperCount;
    }
    case DC_PAPERNAMES: {
      auto* names = static_cast<wchar_t*>(output);  // 64 characters each
      if (names)
        for (DWORD i = 0; i < kPaperCount; ++i) CopyName(names + 64 * i, 64, kPapers[i].name);
      return kPaperCount;
    }
    case DC_PAPERSIZE: {
      auto* sizes = static_cast<POINT*>(output);
      if (sizes)
        for (DWORD i = 0; i < kPaperCount; ++i) sizes[i] = POINT{kPapers[i].width, kPapers[i].height};
      return kPaperCount;
    }
    case DC_MINEXTENT: {
      const POINT smallest{1480, 2100};
      return MAKELONG(smallest.x, smallest.y);
    }
    case DC_MAXEXTENT: {
      const POINT largest{2159, 3556};
      return MAKELONG(largest.x, largest.y);
    }
    case DC_ENUMRESOLUTIONS: {
      auto* pairs = static_cast<LONG*>(output);
      const DWORD count = sizeof(kResolutions) / sizeof(kResolutions[0]);
      if (pairs)
        for (DWORD i = 0; i < count; ++i) pairs[2 * i] = pairs[2 * i + 1] = kResolutions[i];
      return count;
    }
    case DC_BINS:
    case DC_BINNAMES:
      return 0;
    default:
      return GDI_ERROR;
  }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
