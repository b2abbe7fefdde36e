// kvnui64.dll: the printer driver's configuration DLL.
//
// The spooler and the printing system ask it for a printer's device mode
// (DEVMODEW) and capabilities, and for the property pages of the printing
// preferences and printer properties. The printer saves jobs rather than
// printing them, so its settings are few: orientation, paper (A4 or Letter),
// copies and colour, at a nominal 300 dpi.
#include <stddef.h>
#include <windows.h>
#include <compstui.h>
#include <prsht.h>
#include <winddiui.h>

#include "driver_ui.h"
#include "jobs_folder.h"
#include "ui_resources.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

using driver_ui::kDevmodeSize;
using driver_ui::PrivateDevmode;

struct Paper {
  short id;      // DMPAPER_*
  short width;   // tenths of a millimetre
  short length;  // tenths of a millimetre
  const wchar_t* name;
};

constexpr Paper kPapers[] = {
    {DMPAPER_A4, 2100, 2970, L"A4"},
    {DMPAPER_LETTER, 2159, 2794, L"Letter"},
};
constexpr int kPaperCount = sizeof(kPapers) / sizeof(kPapers[0]);

constexpr DWORD kFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY |
                          DM_YRESOLUTION | DM_COLOR | DM_FORMNAME;

constexpr wchar_t kBinName[] = L"Automatically select";

HINSTANCE Module() {
  return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

const Paper* FindPaper(short id) {
  for (const Paper& paper : kPapers) {
    if (paper.id == id) {
      return &paper;
    }
  }
  return nullptr;
}

const Paper* FindForm(const wchar_t* name) {
  for (const Paper& paper : kPapers) {
    if (CompareStringOrdinal(paper.name, -1, name, -1, TRUE) == CSTR_EQUAL) {
      return &paper;
    }
  }
  return nullptr;
}

// The paper the user's locale prints on: Letter where the locale says so
// (the Americas, mostly), A4 everywhere else.
const Paper& DefaultPaper() {
  DWORD size = 0;
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IPAPERSIZE | LOCALE_RETURN_NUMBER,
                     reinterpret_cast<LPWSTR>(&size), sizeof(size) / sizeof(wchar_t)) &&
      size == 1) {
    return *FindPaper(DMPAPER_LETTER);
  }
  return *FindPaper(DMPAPER_A4);
}

void CopyName(wchar_t* target, int capacity, const wchar_t* source) {
  int i = 0;
  if (source != nullptr) {
    for (; i < capacity - 1 && source[i] != L'\0'; ++i) {
      target[i] = source[i];
    }
  }
  target[i] = L'\0';
}

void SetPaper(DEVMODEW& devmode, const Paper& paper) {
  devmode.dmPaperSize = paper.id;
  CopyName(devmode.dmFormName, CCHFORMNAME, paper.name);
}

// Whether the caller's device mode reaches as far as the member: a smaller
// (older) DEVMODEW simply lacks the later members.
#define DEVMODE_HAS(devmode, member) \
  ((devmode).dmSize >= offsetof(DEVMODEW, member) + sizeof((devmode).member))

// The device mode of a printer: the defaults, then whatever the caller's
// device mode sets that this printer supports. Unsupported or invalid values
// are left at their defaults, as the platform asks of drivers.
void MakeDevmode(const wchar_t* printer, const DEVMODEW* input, BYTE* out) {
  ZeroMemory(out, kDevmodeSize);
  DEVMODEW& devmode = *reinterpret_cast<DEVMODEW*>(out);
  CopyName(devmode.dmDeviceName, CCHDEVICENAME, printer);
  devmode.dmSpecVersion = DM_SPECVERSION;
  devmode.dmDriverVersion = driver_ui::kDriverVersion;
  devmode.dmSize = sizeof(DEVMODEW);
  devmode.dmDriverExtra = sizeof(PrivateDevmode);
  devmode.dmFields = kFields;
  devmode.dmOrientation = DMORIENT_PORTRAIT;
  SetPaper(devmode, DefaultPaper());
  devmode.dmCopies = 1;
  devmode.dmPrintQuality = driver_ui::kResolution;
  devmode.dmYResolution = driver_ui::kResolution;
  devmode.dmColor = DMCOLOR_COLOR;
  auto* extra = reinterpret_cast<PrivateDevmode*>(out + sizeof(DEVMODEW));
  extra->signature = driver_ui::kPrivateSignature;
  extra->size = sizeof(PrivateDevmode);

  if (input == nullptr || !DEVMODE_HAS(*input, dmFields)) {
    return;
  }
  const DWORD fields = input->dmFields;
  if ((fields & DM_ORIENTATION) && DEVMODE_HAS(*input, dmOrientation) &&
      (input->dmOrientation == DMORIENT_PORTRAIT || input->dmOrientation == DMORIENT_LANDSCAPE)) {
    devmode.dmOrientation = input->dmOrientation;
  }
  // A paper size by number wins over a form name, as in the platform's own
  // drivers.
  const Paper* paper = nullptr;
  if ((fields & DM_PAPERSIZE) && DEVMODE_HAS(*input, dmPaperSize)) {
    paper = FindPaper(input->dmPaperSize);
  }
  if (paper == nullptr && (fields & DM_FORMNAME) && DEVMODE_HAS(*input, dmFormName)) {
    wchar_t name[CCHFORMNAME];
    CopyName(name, CCHFORMNAME, input->dmFormName);
    paper = FindForm(name);
  }
  if (paper != nullptr) {
    SetPaper(devmode, *paper);
  }
  if ((fields & DM_COPIES) && DEVMODE_HAS(*input, dmCopies) && input->dmCopies >= 1 &&
      input->dmCopies <= driver_ui::kMaxCopies) {
    devmode.dmCopies = input->dmCopies;
  }
  if ((fields & DM_COLOR) && DEVMODE_HAS(*input, dmColor) &&
      (input->dmColor == DMCOLOR_MONOCHROME || input->dmColor == DMCOLOR_COLOR)) {
    devmode.dmColor = input->dmColor;
  }
}

// Writes the printer's device mode where the caller asked for it. Fails
// rather than writing a cut-off device mode into too small a buffer.
bool WriteDevmode(const DOCUMENTPROPERTYHEADER& header) {
  if ((header.fMode & DM_OUT_BUFFER) == 0 || header.pdmOut == nullptr) {
    return true;
  }
  if (header.cbOut < kDevmodeSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  const DEVMODEW* input = (header.fMode & DM_IN_BUFFER) ? header.pdmIn : nullptr;
  BYTE devmode[kDevmodeSize];
  MakeDevmode(header.pszPrinterName, input, devmode);
  CopyMemory(header.pdmOut, devmode, kDevmodeSize);
  return true;
}

INT_PTR CALLBACK CapturePageProc(HWND page, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    wchar_t folder[MAX_PATH];
    // Named only: the folder is the port monitor's to make.
    SetDlgItemTextW(page, IDC_JOBS_FOLDER, payload::OwnJobsFolder(folder) ? folder : L"");
    return TRUE;
  }
  return FALSE;
}

// Answers the common property sheet UI for both property sheets: one page,
// informational only, so the device mode is final before the page shows.
LONG PropertySheetRequest(PPROPSHEETUI_INFO info, LPARAM lparam) {
  switch (info->Reason) {
    case PROPSHEETUI_REASON_INIT: {
      PROPSHEETPAGEW page = {};
      page.dwSize = sizeof(page);
      page.dwFlags = PSP_DEFAULT;
      page.hInstance = Module();
      page.pszTemplate = MAKEINTRESOURCEW(IDD_CAPTURE_PAGE);
      page.pfnDlgProc = CapturePageProc;
      if (info->pfnComPropSheet(info->hComPropSheet, CPSFUNC_ADD_PROPSHEETPAGEW,
                                reinterpret_cast<LPARAM>(&page), 0) <= 0) {
        return ERR_CPSUI_GETLASTERROR;
      }
      info->Result = CPSUI_OK;
      return 1;
    }
    case PROPSHEETUI_REASON_GET_INFO_HEADER: {
      auto* header = reinterpret_cast<PPROPSHEETUI_INFO_HEADER>(lparam);
      if (header == nullptr) {
        return ERR_CPSUI_INVALID_LPARAM;
      }
      header->Flags = PSUIHDRF_NOAPPLYNOW;
      header->pTitle = const_cast<LPWSTR>(L"Lumenquill printer");
      header->hInst = Module();
      header->IconID = IDI_CPSUI_PRINTER;
      return 1;
    }
    case PROPSHEETUI_REASON_SET_RESULT: {
      auto* result = reinterpret_cast<PSETRESULT_INFO>(lparam);
      if (result != nullptr) {
        info->Result = result->Result;
      }
      return 1;
    }
    case PROPSHEETUI_REASON_DESTROY:
      return 1;
    default:
      // PROPSHEETUI_REASON_GET_ICON and later reasons: the defaults do.
      return 0;
  }
}

DWORD CopyNames(void* output, int width, const wchar_t* const* names, int count) {
  if (output != nullptr) {
    auto* table = static_cast<wchar_t*>(output);
    for (int i = 0; i < count; ++i) {
      ZeroMemory(table + i * width, width * sizeof(wchar_t));
      CopyName(table + i * width, width, names[i]);
    }
  }
  return count;
}

}  // namespace

extern "C" {

// Called directly (no property sheet) for the size and the contents of the
// printer's device mode, and through the common property sheet UI for the
// printing preferences.
LONG WINAPI DrvDocumentPropertySheets(PPROPSHEETUI_INFO info, LPARAM lparam) {
  if (info == nullptr) {
    auto* header = reinterpret_cast<PDOCUMENTPROPERTYHEADER>(lparam);
    if (header == nullptr || header->cbSize < sizeof(DOCUMENTPROPERTYHEADER)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    if (header->fMode == 0 || header->pdmOut == nullptr) {
      header->cbOut = kDevmodeSize;
      return kDevmodeSize;
    }
    return WriteDevmode(*header) ? IDOK : -1;
  }
  if (info->Reason == PROPSHEETUI_REASON_INIT) {
    auto* header = reinterpret_cast<PDOCUMENTPROPERTYHEADER>(lparam);
    if (header == nullptr || header->cbSize < sizeof(DOCUMENTPROPERTYHEADER)) {
      return ERR_CPSUI_INVALID_LPARAM;
    }
    if (!WriteDevmode(*header)) {
      return ERR_CPSUI_GETLASTERROR;
    }
  }
  return PropertySheetRequest(info, lparam);
}

// Printer properties: the same single page; there are no device settings.
LONG WINAPI DrvDevicePropertySheets(PPROPSHEETUI_INFO info, LPARAM lparam) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERR_CPSUI_GETLASTERROR;
  }
  if (info->Reason == PROPSHEETUI_REASON_INIT) {
    auto* header = reinterpret_cast<PDEVICEPROPERTYHEADER>(lparam);
    if (header == nullptr || header->cbSize < sizeof(DEVICEPROPERTYHEADER)) {
      return ERR_CPSUI_INVALID_LPARAM;
    }
  }
  return PropertySheetRequest(info, lparam);
}

// The capabilities behind the device mode above. Capabilities that do not
// apply to this printer answer GDI_ERROR, as the platform asks.
DWORD WINAPI DrvDeviceCapabilities(HANDLE, PWSTR, WORD capability, PVOID output, PDEVMODEW) {
  switch (capability) {
    case DC_FIELDS:
      return kFields;
    case DC_SIZE:
      return sizeof(DEVMODEW);
    case DC_EXTRA:
      return sizeof(PrivateDevmode);
    case DC_VERSION:
      return DM_SPECVERSION;
    case DC_DRIVER:
      return driver_ui::kDriverVersion;
    case DC_PAPERS:
      if (output != nullptr) {
        for (int i = 0; i < kPaperCount; ++i) {
          static_cast<WORD*>(output)[i] = kPapers[i].id;
        }
      }
      return kPaperCount;
    case DC_PAPERSIZE:
      if (output != nullptr) {
        for (int i = 0; i < kPaperCount; ++i) {
          static_cast<POINT*>(output)[i] = {kPapers[i].width, kPapers[i].length};
        }
      }
      return kPaperCount;
    case DC_PAPERNAMES:
    case DC_MEDIAREADY: {
      const wchar_t* names[kPaperCount];
      for (int i = 0; i < kPaperCount; ++i) {
        names[i] = kPapers[i].name;
      }
      return CopyNames(output, 64, names, kPaperCount);
    }
    case DC_MINEXTENT:
    case DC_MAXEXTENT: {
      short width = kPapers[0].width;
      short length = kPapers[0].length;
      for (const Paper& paper : kPapers) {
        if (capability == DC_MINEXTENT) {
          width = paper.width < width ? paper.width : width;
          length = paper.length < length ? paper.length : length;
        } else {
          width = paper.width > width ? paper.width : width;
          length = paper.length > length ? paper.length : length;
        }
      }
      return MAKELONG(width, length);
    }
    case DC_BINS:
      if (output != nullptr) {
        static_cast<WORD*>(output)[0] = DMBIN_AUTO;
      }
      return 1;
    case DC_BINNAMES: {
      const wchar_t* names[] = {kBinName};
      return CopyNames(output, 24, names, 1);
    }
    case DC_ENUMRESOLUTIONS:
      if (output != nullptr) {
        static_cast<LONG*>(output)[0] = driver_ui::kResolution;
        static_cast<LONG*>(output)[1] = driver_ui::kResolution;
      }
      return 1;
    case DC_NUP:
      if (output != nullptr) {
        static_cast<DWORD*>(output)[0] = 1;
      }
      return 1;
    case DC_COPIES:
      return driver_ui::kMaxCopies;
    case DC_ORIENTATION:
      return 90;  // landscape is portrait turned counterclockwise
    case DC_COLORDEVICE:
      return 1;
    case DC_DUPLEX:
    case DC_COLLATE:
    case DC_STAPLE:
    case DC_TRUETYPE:
      return 0;
    default:
      return GDI_ERROR;
  }
}

// The driver keeps nothing per printer or per installation (its settings
// live in the device modes the spooler stores), so there is nothing to set up
// or remove when a printer or the driver comes or goes.
BOOL WINAPI DrvPrinterEvent(LPWSTR, INT, DWORD, LPARAM) {
  return TRUE;
}

BOOL WINAPI DrvDriverEvent(DWORD, DWORD, LPBYTE, LPARAM) {
  return TRUE;
}

}  // extern "C"
