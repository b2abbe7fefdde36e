// Helpers shared by the payload tests: where the built payload is, files and
// folders, and the jobs folder the port monitor writes to.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace payload_test {

// Full Windows path of a built payload file (the build's payload folder,
// reached through Wine's Z: drive).
std::wstring PayloadFile(const wchar_t* name);

// <common application data>\Lumenquill\Jobs, found independently of the
// payload's own code.
std::wstring JobsFolder();

// Names (not paths) of the files in a folder; empty when it does not exist.
std::vector<std::wstring> FileNames(const std::wstring& folder);

bool ReadWholeFile(const std::wstring& path, std::string* bytes);

// A new, empty folder under the temporary folder, named after the test.
std::wstring NewScratchFolder(const wchar_t* name);

std::wstring ToWide(const char* text);

}  // namespace payload_test
