// The one way the program includes the platform headers.
//
// <windows.h> maps generic names such as CopyFile or AddPrinter to their
// A/W variants with macros. Those names are the program's own step names, so
// the macros are removed here, and Win32 functions are always named with their
// explicit W or A suffix.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <winspool.h>
#include <shellapi.h>
#include <restartmanager.h>

#undef AddMonitor
#undef AddPrinter
#undef AddPrinterDriver
#undef CopyFile
#undef DeleteMonitor
#undef DeletePrinterDriver
#undef GetPrinterData
#undef SetPrinterData
#undef StartService
#undef FindWindow
#undef PostMessage
#undef DialogBoxParam
#undef DeleteFile
#undef MoveFileEx
#undef GetFileAttributes
#undef CreateFile
#undef CreateMutex
#undef CreateProcess
#undef FormatMessage
#undef OpenPrinter
#undef ClosePrinter
#undef SetPrinter
#undef GetPrinter
#undef EnumPrinters
#undef EnumMonitors
#undef EnumPrinterDrivers
