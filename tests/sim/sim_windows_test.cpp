// The simulated Windows' own machinery: what the contract suite cannot show
// because Win32 has no equivalent (virtual time, injected faults, the checks
// that catch leaks and overruns).
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/sim_windows.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(SimClock, SleepRunsDueEventsInOrderAndTickCountWraps) {
  sim::SimWindows sim;
  sim.clock.tick_base = 0xFFFFFF00u;
  std::vector<int> order;
  sim.clock.After(300, [&] { order.push_back(2); });
  sim.clock.After(100, [&] { order.push_back(1); });
  sim.clock.After(900, [&] { order.push_back(3); });
  DWORD before = sim.GetTickCount();
  sim.Sleep(500);
  EXPECT_THAT(order, ElementsAre(1, 2));
  EXPECT_EQ(sim.clock.now, 500u);
  EXPECT_EQ(static_cast<DWORD>(sim.GetTickCount() - before), 500u) << "wrap-around keeps the "
                                                                      "difference";
  EXPECT_LT(sim.GetTickCount(), before);
}

TEST(SimFaults, NthCallOfANameFailsForTheGivenNumberOfTimes) {
  sim::SimWindows sim;
  sim.FailCall("GetFileAttributesW", 2, ERROR_ACCESS_DENIED, 2);
  std::vector<DWORD> errors;
  for (int i = 0; i < 4; ++i) {
    sim.SetLastError(0);
    DWORD attributes = sim.GetFileAttributesW(L"C:\\Windows\\system32");
    errors.push_back(attributes == INVALID_FILE_ATTRIBUTES ? sim.GetLastError() : 0);
  }
  EXPECT_THAT(errors, ElementsAre(0u, DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_ACCESS_DENIED}, 0u));
}

TEST(SimFaults, NthFailableCallFailsWithItsTypicalErrorAndReturnCodeConvention) {
  sim::SimWindows sim;
  sim.FailNthCall(2);
  HKEY key = nullptr;
  sim.GetTickCount();  // cannot fail: not counted
  EXPECT_EQ(sim.RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(sim.RegQueryValueExW(key, L"x", nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);  // the second failable call, failing as injected
  EXPECT_EQ(sim.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(sim.failable_calls, 2);
  EXPECT_EQ(sim::SimWindows::TypicalError("Sleep"), 0u);
  EXPECT_EQ(sim::SimWindows::TypicalError("OpenPrinterW"), DWORD{ERROR_INVALID_PRINTER_NAME});
}

TEST(SimMemory, AllocationFaultsLeaksDoubleFreesAndOverrunsAreCaught) {
  sim::SimWindows sim;
  sim.FailAllocation(2);
  void* first = sim.GlobalAlloc(GPTR, 8);
  EXPECT_EQ(sim.GlobalAlloc(GPTR, 8), nullptr);
  EXPECT_EQ(sim.GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});
  auto* heap_block = static_cast<char*>(sim.HeapAlloc(sim.GetProcessHeap(), 0, 4));
  heap_block[4] = 'x';  // one byte too far
  EXPECT_EQ(sim.GlobalFree(first), nullptr);
  EXPECT_EQ(sim.GlobalFree(first), first) << "a second free fails";
  auto leaks = sim.Leaks();
  ASSERT_EQ(leaks.size(), 3u);
  EXPECT_THAT(leaks[0], HasSubstr("GlobalFree of a block that is not allocated"));
  EXPECT_THAT(leaks[1], HasSubstr("leaked heap block of 4 bytes"));
  EXPECT_THAT(leaks[2], HasSubstr("write past the end"));
  sim.HeapFree(sim.GetProcessHeap(), 0, heap_block);
}

TEST(SimMemory, ReallocationKeepsContentsAndOldBlockOnFailure) {
  sim::SimWindows sim;
  HANDLE heap = sim.GetProcessHeap();
  auto* block = static_cast<char*>(sim.HeapAlloc(heap, HEAP_ZERO_MEMORY, 4));
  std::memcpy(block, "abc", 4);
  sim.FailAllocation(1);
  EXPECT_EQ(sim.HeapReAlloc(heap, 0, block, 64), nullptr);
  EXPECT_STREQ(block, "abc");
  auto* grown = static_cast<char*>(sim.HeapReAlloc(heap, 0, block, 64));
  EXPECT_STREQ(grown, "abc");
  EXPECT_EQ(sim.BlockSize(grown), 64u);
  sim.HeapFree(heap, 0, grown);
  EXPECT_THAT(sim.Leaks(), IsEmpty());
}

TEST(SimMemory, ACapacityLargerThanTheBlockGivenToACallIsCaught) {
  sim::SimWindows sim;
  auto* block = static_cast<BYTE*>(sim.GlobalAlloc(GPTR, 64));
  wchar_t stack[8];
  const struct {
    const char* name;
    void* buffer;
    DWORD bytes;
    bool caught;
  } cases[] = {
      {"the whole block", block, 64, false},
      {"one byte more", block, 65, true},
      {"the rest from the middle", block + 16, 48, false},
      {"past the rest from the middle", block + 16, 49, true},
      {"a buffer outside every block", stack, 4096, false},
  };
  for (const auto& c : cases) {
    sim.violations.clear();
    DWORD needed = 0, returned = 0;
    sim.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, static_cast<LPBYTE>(c.buffer), c.bytes,
                      &needed, &returned);
    EXPECT_EQ(sim.violations.size(), c.caught ? 1u : 0u) << c.name;
    if (c.caught && !sim.violations.empty()) {
      EXPECT_THAT(sim.violations[0], HasSubstr("EnumPrintersW was told")) << c.name;
    }
  }
  sim.violations.clear();
  sim.GlobalFree(block);
  EXPECT_THAT(sim.Leaks(), IsEmpty());
}

TEST(SimFiles, AVersionResourceMayHoldLessThanAWholeFixedPart) {
  sim::SimWindows sim;
  const size_t kWhole = sizeof(VS_FIXEDFILEINFO);
  for (size_t held : {kWhole, kWhole - 1, size_t{8}}) {
    sim::File& file = sim.fs.Put(L"C:\\v.dll");
    file.version = sim::FileVersion{{1, 0, 0, 7}, {1, 0, 0, 7}, held};
    DWORD handle = 0;
    DWORD size = sim.GetFileVersionInfoSizeW(L"C:\\v.dll", &handle);
    void* block = sim.GlobalAlloc(GPTR, size);
    EXPECT_FALSE(sim.GetFileVersionInfoW(L"C:\\v.dll", 0, size - 1, block)) << held;
    ASSERT_TRUE(sim.GetFileVersionInfoW(L"C:\\v.dll", 0, size, block)) << held;
    void* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(sim.VerQueryValueW(block, L"\\", &fixed, &length)) << held;
    EXPECT_EQ(length, held);
    EXPECT_LE(static_cast<char*>(fixed) + length, static_cast<char*>(block) + size)
        << "the fixed part lies within the block";
    sim.GlobalFree(block);
  }
  EXPECT_THAT(sim.Leaks(), IsEmpty());
}

TEST(SimHandles, LeakedAndDoubleClosedHandlesAreReported) {
  sim::SimWindows sim;
  SC_HANDLE manager = sim.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  HANDLE mutex = sim.CreateMutexA(nullptr, FALSE, "m");
  EXPECT_TRUE(sim.CloseHandle(mutex));
  EXPECT_FALSE(sim.CloseHandle(mutex));
  EXPECT_FALSE(sim.CloseServiceHandle(nullptr)) << "closing null simply fails";
  auto leaks = sim.Leaks();
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_THAT(leaks[0], HasSubstr("CloseHandle on a handle that is already closed"));
  EXPECT_THAT(leaks[1], HasSubstr("leaked service manager handle"));
  sim.CloseServiceHandle(manager);
}

TEST(SimService, StartAndStopTakeVirtualTimeAndStoppingUnloadsMonitorDlls) {
  sim::SimWindows sim;
  sim.fs.Put(L"C:\\Windows\\system32\\mon.dll");
  sim.spooler.monitors.push_back({L"Mon:", sim::kEnvX64, L"mon.dll", {L"Mon:"}});
  sim.OnSpoolerStarted();
  EXPECT_FALSE(sim.DeleteFileW(L"C:\\Windows\\system32\\mon.dll"));
  EXPECT_EQ(sim.GetLastError(), DWORD{ERROR_ACCESS_DENIED});

  SC_HANDLE manager = sim.OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE service = sim.OpenServiceW(manager, L"spooler", 0x34);
  SERVICE_STATUS status{};
  sim.spooler_service.stop_time = 700;
  ASSERT_TRUE(sim.ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
  sim.Sleep(600);
  sim.QueryServiceStatus(service, &status);
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
  sim.Sleep(100);
  sim.QueryServiceStatus(service, &status);
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_TRUE(sim.DeleteFileW(L"C:\\Windows\\system32\\mon.dll"));
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(sim.EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(sim.GetLastError(), DWORD{RPC_S_SERVER_UNAVAILABLE}) << "the spooler is down";
  sim.CloseServiceHandle(service);
  sim.CloseServiceHandle(manager);
}

TEST(SimProcesses, AnotherProcessReleasesItsMutexWhenItsWindowIsAsked) {
  sim::SimWindows sim;
  sim.fs.Put(L"C:\\tray.exe");
  int tray = sim.StartProcess(L"C:\\tray.exe", L"\"C:\\tray.exe\"");
  sim.ProcessCreateMutex(tray, "tray-mutex", true);
  HWND window = sim.CreateWindowFor(tray, L"TrayClass", L"");
  sim.windows[window].on_message = [&](const sim::Message& message) {
    if (message.message == WM_CLOSE) {
      sim.clock.After(1200, [&, tray] { sim.EndProcess(tray); });
    }
  };
  HANDLE mutex = sim.CreateMutexA(nullptr, FALSE, "tray-mutex");
  EXPECT_EQ(sim.GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(sim.FindWindowW(L"trayclass", nullptr), window) << "class names ignore case";
  EXPECT_EQ(sim.WaitForSingleObject(mutex, 1000), DWORD{WAIT_TIMEOUT});
  EXPECT_FALSE(sim.DeleteFileW(L"C:\\tray.exe"));
  EXPECT_TRUE(sim.PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(sim.WaitForSingleObject(mutex, 5000), DWORD{WAIT_ABANDONED})
      << "it ended without releasing";
  EXPECT_EQ(sim.clock.now, 2200u);
  EXPECT_FALSE(sim.IsWindow(window));
  EXPECT_TRUE(sim.DeleteFileW(L"C:\\tray.exe"));
  EXPECT_TRUE(sim.CloseHandle(mutex));
  EXPECT_THAT(sim.Leaks(), IsEmpty());
}

TEST(SimProcesses, CreateProcessRunsTheProgramsLauncher) {
  sim::SimWindows sim;
  sim.fs.Put(L"C:\\Program Files\\tool.exe");
  int launched = 0;
  sim.programs[L"TOOL.EXE"] = [&](int id) { launched = id; };
  wchar_t line[] = L"\"C:\\Program Files\\tool.exe\"";
  STARTUPINFOW startup{sizeof(startup)};
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(sim.CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info));
  EXPECT_NE(launched, 0);
  EXPECT_EQ(sim.processes[launched].command_line, line);
  sim.CloseHandle(info.hProcess);
  sim.CloseHandle(info.hThread);
  wchar_t missing[] = L"\"C:\\nowhere\\tool.exe\"";
  EXPECT_FALSE(sim.CreateProcessW(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &info));
  EXPECT_EQ(sim.GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_THAT(sim.Leaks(), IsEmpty());
}

INT_PTR CALLBACK RecordingDialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    platform::Sys().SetDlgItemTextW(dialog, 1001, L"text");
  } else if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) {
    platform::Sys().EndDialog(dialog, 0);
  }
  return 0;
}

TEST(SimDialogs, AScriptedUserPressesControlsUntilTheDialogEnds) {
  sim::SimWindows sim;
  platform::SystemScope scope(sim);
  HWND owner = sim.CreateWindowFor(7, L"Setup", L"Setup");
  sim.dialog_scripts.push_back({IDOK, IDCANCEL});
  INT_PTR result = sim.DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), owner, RecordingDialog, 42);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(sim.dialogs.size(), 1u);
  EXPECT_EQ(sim.dialogs[0].owner, owner);
  EXPECT_EQ(sim.dialogs[0].parameter, 42);
  EXPECT_EQ(sim.dialogs[0].item_texts[1001], L"text");
  // A dialog that nothing ends would wait for ever: reported.
  sim.DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, RecordingDialog, 0);
  EXPECT_THAT(sim.Leaks(), ElementsAre(HasSubstr("never ended")));
}

TEST(SimRestart, QueuedDeletionsAndRenamesAreCarriedOutAndTheQueueEmptied) {
  sim::SimWindows sim;
  sim.fs.Put(L"C:\\a.dll", "a");
  sim.fs.Put(L"C:\\b.dll", "b");
  sim.fs.Put(L"C:\\a.dll").image_locks.insert("someone");
  ASSERT_TRUE(sim.MoveFileExW(L"C:\\a.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(sim.MoveFileExW(L"C:\\b.dll", L"C:\\c.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
  sim.Restart();
  EXPECT_FALSE(sim.fs.Exists(L"C:\\a.dll"));
  EXPECT_FALSE(sim.fs.Exists(L"C:\\b.dll"));
  EXPECT_TRUE(sim.fs.Exists(L"C:\\c.dll"));
  EXPECT_EQ(sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue), nullptr);
}

}  // namespace
