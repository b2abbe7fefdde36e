// Lines for the installer's log, and messages for its user interface.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

namespace custom_action {

// Writes TEXT into the installer log as it is: the record's template is "[1]",
// so brackets and braces in the text are never taken for properties. True
// when the installer answers that its user has cancelled the installation.
bool LogLine(MSIHANDLE install, const wchar_t* text);
// Logs a line of the custom actions' own: "Lumenquill: ", then FORMAT
// formatted like _vsnwprintf (%ls for wide strings), so that a reader of the
// installer log finds them all by that word. True on a cancel, as LogLine.
bool Note(MSIHANDLE install, const wchar_t* format, ...);
// Tells the user TEXT in the interfaces that show messages (logged always).
void ShowWarning(MSIHANDLE install, const wchar_t* text);

}  // namespace custom_action
