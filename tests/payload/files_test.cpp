// What the installer and the platform expect of the payload files as files:
// their version resources, what they import, their size, and the help file.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "build_number.h"
#include "payload_support.h"

namespace {

using payload_test::PayloadFile;

const wchar_t* const kBinaries[] = {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll",
                                    L"lumtray.exe"};

std::string Narrow(const wchar_t* name) {
  return std::string(name, name + lstrlenW(name));
}

std::wstring StringValue(std::vector<BYTE>& block, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return L"<missing>";
  }
  return value;
}

TEST(PayloadFiles, CarryTheProductVersionOfThisBuild) {
  for (const wchar_t* name : kBinaries) {
    SCOPED_TRACE(Narrow(name));
    std::wstring path = PayloadFile(name);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 1));                 // 1.0
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(LUMENQUILL_BUILD, 0));  // .0.<build>
    EXPECT_EQ(LOWORD(fixed->dwProductVersionLS), 2542);
    EXPECT_EQ(StringValue(block, L"ProductVersion"),
              payload_test::ToWide(LUMENQUILL_VERSION_STRING));
    EXPECT_EQ(StringValue(block, L"OriginalFilename"), name);
    EXPECT_EQ(StringValue(block, L"CompanyName"), L"Korvane Software Kft.");

    // The driver's DLLs are versioned printer driver files of a user-mode
    // (version 3) driver; the others are plain.
    bool driver_file = lstrcmpW(name, L"kvndrv64.dll") == 0 || lstrcmpW(name, L"kvnui64.dll") == 0;
    if (driver_file) {
      EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DRV));
      EXPECT_EQ(fixed->dwFileSubtype, 12u);  // VFT2_DRV_VERSIONED_PRINTER
      EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(3, 0));
      EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), LUMENQUILL_BUILD);
    } else {
      EXPECT_EQ(fixed->dwFileType,
                static_cast<DWORD>(name[lstrlenW(name) - 1] == L'e' ? VFT_APP : VFT_DLL));
      EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
      EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    }
  }
}

// The names in the import directory of a PE file, read from the file itself.
std::vector<std::string> ImportedDlls(const std::string& image) {
  std::vector<std::string> names;
  auto at = [&](size_t offset, size_t size) { return offset + size <= image.size(); };
  if (!at(0, sizeof(IMAGE_DOS_HEADER))) {
    return names;
  }
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || !at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64))) {
    return names;
  }
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    return names;
  }
  auto* sections = IMAGE_FIRST_SECTION(nt);
  auto to_offset = [&](DWORD rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize) {
        return rva - s.VirtualAddress + s.PointerToRawData;
      }
    }
    return image.size();
  };
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  size_t offset = to_offset(directory.VirtualAddress);
  while (directory.VirtualAddress != 0 && at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR))) {
    auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + offset);
    if (entry->Name == 0) {
      break;
    }
    size_t name = to_offset(entry->Name);
    if (!at(name, 1)) {
      break;
    }
    names.emplace_back(image.c_str() + name);
    offset += sizeof(IMAGE_IMPORT_DESCRIPTOR);
  }
  return names;
}

TEST(PayloadFiles, ImportOnlySystemDllsAndStaySmall) {
  const char* const system_dlls[] = {"kernel32.dll", "user32.dll",   "shell32.dll",
                                     "advapi32.dll", "winspool.drv", "msvcrt.dll"};
  for (const wchar_t* name : kBinaries) {
    SCOPED_TRACE(Narrow(name));
    std::string image;
    ASSERT_TRUE(payload_test::ReadWholeFile(PayloadFile(name), &image));
    EXPECT_LE(image.size(), 128u * 1024u);
    std::vector<std::string> imports = ImportedDlls(image);
    EXPECT_FALSE(imports.empty());
    for (const std::string& dll : imports) {
      bool known = false;
      for (const char* system_dll : system_dlls) {
        known = known || lstrcmpiA(dll.c_str(), system_dll) == 0;
      }
      EXPECT_TRUE(known) << dll;
    }
  }
}

TEST(PayloadFiles, HelpIsACompiledHelpFile) {
  std::string help;
  ASSERT_TRUE(payload_test::ReadWholeFile(PayloadFile(L"kvnhelp.chm"), &help));
  ASSERT_GT(help.size(), 4u);
  EXPECT_EQ(help.substr(0, 4), "ITSF");
  EXPECT_NE(help.find("Lumenquill Help"), std::string::npos);
}

// The help viewer shows the file in a window of its own class, titled by the
// help project's window definition: the window the installer closes.
TEST(PayloadFiles, HelpOpensInTheViewerWithItsTitle) {
  ASSERT_EQ(FindWindowW(L"HH Parent", L"Lumenquill Help"), nullptr) << "a viewer is already open";
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  std::wstring command =
      L"\"" + std::wstring(windows) + L"\\hh.exe\" \"" + PayloadFile(L"kvnhelp.chm") + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << GetLastError();
  HWND viewer = nullptr;
  for (int i = 0; i < 300 && viewer == nullptr; ++i) {
    viewer = FindWindowW(L"HH Parent", L"Lumenquill Help");
    if (viewer == nullptr) {
      Sleep(50);
    }
  }
  EXPECT_NE(viewer, nullptr);
  if (viewer != nullptr) {
    PostMessageW(viewer, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace
