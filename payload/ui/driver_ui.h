// What the spooler and the printing system hand to kvnui64.dll, and the
// private part of the DEVMODEW the driver answers with.
//
// The MinGW-w64 headers declare the common property sheet types (compstui.h)
// but not the two headers a printer interface DLL receives; they are declared
// here as the platform documents them.
#pragma once

#include <windows.h>
#include <compstui.h>

// lParam of DrvDocumentPropertySheets (directly, or as PROPSHEETUI_INFO's
// lParamInit when called through the common property sheet UI).
typedef struct _DOCUMENTPROPERTYHEADER {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
} DOCUMENTPROPERTYHEADER, *PDOCUMENTPROPERTYHEADER;

// lParam of DrvDevicePropertySheets.
typedef struct _DEVICEPROPERTYHEADER {
  WORD cbSize;
  WORD Flags;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
} DEVICEPROPERTYHEADER, *PDEVICEPROPERTYHEADER;

#ifndef DPS_NOPERMISSION
#define DPS_NOPERMISSION 0x0001
#endif

namespace driver_ui {

// Follows the public DEVMODEW fields as dmDriverExtra bytes. It holds no
// settings yet; it marks a device mode as made by this driver, so that a
// later version can tell its own device modes (and their size) from others.
struct PrivateDevmode {
  DWORD signature;
  DWORD size;
};

inline constexpr DWORD kPrivateSignature = 0x4D44514C;  // "LQDM"
inline constexpr DWORD kDevmodeSize = sizeof(DEVMODEW) + sizeof(PrivateDevmode);
inline constexpr WORD kDriverVersion = 0x0100;  // dmDriverVersion, also DC_DRIVER
inline constexpr WORD kMaxCopies = 999;
inline constexpr short kResolution = 300;  // the nominal dots per inch applications see

}  // namespace driver_ui
