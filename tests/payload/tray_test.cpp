// lumtray.exe started, found and stopped exactly as the installer does it.
// A copy is run, so that deleting the program file afterwards does not touch
// the build's payload folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "payload_support.h"
#include "tray_contract.h"

namespace {

// The narrow name, as the installer opens the mutex.
constexpr char kMutexNameA[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Another companion running would own the mutex and the window.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kMutexNameA);
    if (mutex != nullptr) {
      CloseHandle(mutex);
      FAIL() << "a tray companion is already running";
    }
    folder_ = payload_test::NewScratchFolder(L"lumtray");
    program_ = folder_ + L"\\lumtray.exe";
    ASSERT_TRUE(
        CopyFileW(payload_test::PayloadFile(L"lumtray.exe").c_str(), program_.c_str(), TRUE))
        << GetLastError();
  }

  void TearDown() override {
    for (PROCESS_INFORMATION& process : started_) {
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
      }
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    DeleteFileW(program_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  // As the installer starts it: the quoted full path is the whole command
  // line, shown normally, with the caller's environment and directory.
  PROCESS_INFORMATION Start() {
    std::wstring command = L"\"" + program_ + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                               NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))
        << GetLastError();
    if (process.hProcess != nullptr) {
      started_.push_back(process);
    }
    return process;
  }

  // The companion's window, once the given process has made it.
  static HWND WindowOf(const PROCESS_INFORMATION& process) {
    for (int i = 0; i < 200; ++i) {
      HWND window = FindWindowW(tray::kWindowClass, nullptr);
      DWORD owner = 0;
      if (window != nullptr && GetWindowThreadProcessId(window, &owner) &&
          owner == process.dwProcessId) {
        return window;
      }
      Sleep(50);
    }
    return nullptr;
  }

  // Asks the companion to end as the installer does and reports how its
  // mutex was given up.
  static DWORD EndAndWait(HWND window, UINT message, WPARAM wparam) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexNameA);
    EXPECT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(PostMessageW(window, message, wparam, 0));
    DWORD result = WaitForSingleObject(mutex, 1000);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
      ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    return result;
  }

  std::wstring folder_;
  std::wstring program_;
  std::vector<PROCESS_INFORMATION> started_;
};

TEST_F(TrayTest, KeepsTheInstallerContract) {
  PROCESS_INFORMATION process = Start();
  ASSERT_NE(process.hProcess, nullptr);
  HWND window = WindowOf(process);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow());  // top-level

  // Running: its mutex exists and its file cannot be deleted.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexNameA);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // owned by it
  CloseHandle(mutex);
  EXPECT_FALSE(DeleteFileW(program_.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // Message 1026 ends it within a second, the mutex released, not abandoned.
  ULONGLONG asked = GetTickCount64();
  EXPECT_EQ(EndAndWait(window, 1026, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_LT(GetTickCount64() - asked, 1000u);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(FindWindowW(tray::kWindowClass, nullptr), nullptr);

  // Ended: the file can go.
  EXPECT_TRUE(DeleteFileW(program_.c_str())) << GetLastError();
}

TEST_F(TrayTest, ASecondCompanionLeavesAtOnce) {
  PROCESS_INFORMATION first = Start();
  ASSERT_NE(first.hProcess, nullptr);
  HWND window = WindowOf(first);
  ASSERT_NE(window, nullptr);

  PROCESS_INFORMATION second = Start();
  ASSERT_NE(second.hProcess, nullptr);
  ASSERT_EQ(WaitForSingleObject(second.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeProcess(second.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(FindWindowW(tray::kWindowClass, nullptr), window);

  EXPECT_EQ(EndAndWait(window, tray::kExitMessage, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(TrayTest, ExitFromTheIconMenuReleasesTheMutex) {
  PROCESS_INFORMATION process = Start();
  ASSERT_NE(process.hProcess, nullptr);
  HWND window = WindowOf(process);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(EndAndWait(window, WM_COMMAND, MAKEWPARAM(tray::kExitCommand, 0)),
            static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
