// kvnmon64.dll driven as the spooler drives a port monitor: loaded,
// initialised, its port enumerated, and jobs run through it.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload_support.h"

namespace {

using payload_test::FileNames;
using payload_test::JobsFolder;
using payload_test::PayloadFile;

using InitializeFunction = LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE);

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The files of one job: their names carry "job<id>" followed by a non-digit.
std::vector<std::wstring> JobFiles(DWORD job_id) {
  std::wstring tag = L"job" + std::to_wstring(job_id);
  std::vector<std::wstring> found;
  for (const std::wstring& name : FileNames(JobsFolder())) {
    size_t at = name.find(tag);
    if (at != std::wstring::npos && at + tag.size() < name.size() &&
        !iswdigit(name[at + tag.size()])) {
      found.push_back(name);
    }
  }
  return found;
}

// Job numbers of this process only, so that runs cannot see each other's jobs.
DWORD JobId(DWORD n) {
  return GetCurrentProcessId() * 100 + n;
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(PayloadFile(L"kvnmon64.dll").c_str());
    ASSERT_NE(module_, nullptr) << GetLastError();
    auto initialize =
        reinterpret_cast<InitializeFunction>(GetProcAddress(module_, "InitializePrintMonitor2"));
    ASSERT_NE(initialize, nullptr);
    MONITORINIT init = {};
    init.cbSize = sizeof(init);
    init.bLocal = TRUE;
    table_ = initialize(&init, &monitor_);
    ASSERT_NE(table_, nullptr);
    ASSERT_GE(table_->cbSize, offsetof(MONITOR2, pfnShutdown) + sizeof(table_->pfnShutdown));
    for (auto entry : {reinterpret_cast<void*>(table_->pfnEnumPorts),
                       reinterpret_cast<void*>(table_->pfnOpenPort),
                       reinterpret_cast<void*>(table_->pfnStartDocPort),
                       reinterpret_cast<void*>(table_->pfnWritePort),
                       reinterpret_cast<void*>(table_->pfnEndDocPort),
                       reinterpret_cast<void*>(table_->pfnClosePort),
                       reinterpret_cast<void*>(table_->pfnXcvOpenPort),
                       reinterpret_cast<void*>(table_->pfnXcvDataPort),
                       reinterpret_cast<void*>(table_->pfnXcvClosePort),
                       reinterpret_cast<void*>(table_->pfnShutdown)}) {
      ASSERT_NE(entry, nullptr);
    }
  }

  void TearDown() override {
    for (DWORD n = 1; n <= 9; ++n) {
      for (const std::wstring& name : JobFiles(JobId(n))) {
        DeleteFileW((JobsFolder() + L"\\" + name).c_str());
      }
    }
    if (table_ != nullptr) {
      table_->pfnShutdown(monitor_);
    }
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }

  HANDLE OpenOurPort() {
    HANDLE port = nullptr;
    wchar_t name[] = L"Lumenquill:";
    EXPECT_TRUE(table_->pfnOpenPort(monitor_, name, &port)) << GetLastError();
    return port;
  }

  bool Write(HANDLE port, const std::string& bytes) {
    DWORD written = 0;
    BOOL ok = table_->pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data())),
                                   static_cast<DWORD>(bytes.size()), &written);
    return ok && written == bytes.size();
  }

  HMODULE module_ = nullptr;
  LPMONITOR2 table_ = nullptr;
  HANDLE monitor_ = nullptr;
};

TEST_F(MonitorTest, EnumeratesItsOnePortAtLevels1And2) {
  for (DWORD level : {1u, 2u}) {
    SCOPED_TRACE(level);
    DWORD needed = 0;
    DWORD returned = 99;
    SetLastError(0);
    EXPECT_FALSE(table_->pfnEnumPorts(monitor_, nullptr, level, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    ASSERT_GT(needed, 0u);

    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(table_->pfnEnumPorts(monitor_, nullptr, level, buffer.data(), needed - 1, &needed,
                                      &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    ASSERT_TRUE(
        table_->pfnEnumPorts(monitor_, nullptr, level, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 1u);
    auto inside = [&](const wchar_t* text) {
      auto at = reinterpret_cast<const BYTE*>(text);
      return at >= buffer.data() && at < buffer.data() + buffer.size();
    };
    if (level == 1) {
      auto* info = reinterpret_cast<PORT_INFO_1W*>(buffer.data());
      EXPECT_STREQ(info->pName, L"Lumenquill:");
      EXPECT_TRUE(inside(info->pName));
    } else {
      auto* info = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
      EXPECT_STREQ(info->pPortName, L"Lumenquill:");
      EXPECT_STREQ(info->pMonitorName, L"Lumenquill:");
      ASSERT_NE(info->pDescription, nullptr);
      EXPECT_GT(lstrlenW(info->pDescription), 0);
      EXPECT_TRUE(inside(info->pPortName) && inside(info->pMonitorName) &&
                  inside(info->pDescription));
      EXPECT_TRUE(info->fPortType & PORT_TYPE_WRITE);
    }
  }
  DWORD needed = 0;
  DWORD returned = 0;
  EXPECT_FALSE(table_->pfnEnumPorts(monitor_, nullptr, 3, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(MonitorTest, OpensOnlyItsOwnPort) {
  HANDLE port = nullptr;
  wchar_t other[] = L"LPT1:";
  EXPECT_FALSE(table_->pfnOpenPort(monitor_, other, &port));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));

  wchar_t other_case[] = L"LUMENQUILL:";
  ASSERT_TRUE(table_->pfnOpenPort(monitor_, other_case, &port));
  EXPECT_TRUE(table_->pfnClosePort(port));
}

TEST_F(MonitorTest, CapturesEachJobIntoAFileOfItsOwn) {
  std::string first;
  for (int i = 0; i < 3 * 256; ++i) {
    first.push_back(static_cast<char>(i % 256));  // every byte value, zeros included
  }
  const std::string second = "\x1b%-12345X@PJL second job\r\n";

  HANDLE port = OpenOurPort();
  ASSERT_NE(port, nullptr);
  wchar_t printer[] = L"No such printer";  // the capture must not depend on it
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"first"), nullptr, const_cast<LPWSTR>(L"RAW")};

  ASSERT_TRUE(table_->pfnStartDocPort(port, printer, JobId(1), 1, reinterpret_cast<LPBYTE>(&doc)))
      << GetLastError();
  EXPECT_TRUE(Write(port, first.substr(0, 100)));
  EXPECT_TRUE(Write(port, std::string()));
  EXPECT_TRUE(Write(port, first.substr(100)));
  ASSERT_TRUE(table_->pfnEndDocPort(port)) << GetLastError();

  // The same port open for the next job, as the spooler keeps it.
  ASSERT_TRUE(table_->pfnStartDocPort(port, printer, JobId(2), 1, reinterpret_cast<LPBYTE>(&doc)));
  EXPECT_TRUE(Write(port, second));
  ASSERT_TRUE(table_->pfnEndDocPort(port));
  EXPECT_TRUE(table_->pfnClosePort(port));

  const std::pair<DWORD, const std::string*> jobs[] = {{JobId(1), &first}, {JobId(2), &second}};
  for (const auto& [job, bytes] : jobs) {
    SCOPED_TRACE(job);
    std::vector<std::wstring> files = JobFiles(job);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(EndsWith(files[0], L".prn")) << files[0];
    EXPECT_NE(files[0][0], L'~');
    std::string captured;
    ASSERT_TRUE(payload_test::ReadWholeFile(JobsFolder() + L"\\" + files[0], &captured));
    EXPECT_EQ(captured, *bytes);
  }
}

TEST_F(MonitorTest, AJobCutShortNeverLooksComplete) {
  HANDLE port = OpenOurPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(table_->pfnStartDocPort(port, nullptr, JobId(3), 1, nullptr));
  ASSERT_TRUE(Write(port, "half a job"));

  // While the job is under way (or when the process dies here), its data
  // lies only under a temporary name.
  std::vector<std::wstring> during = JobFiles(JobId(3));
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0][0], L'~');
  EXPECT_TRUE(EndsWith(during[0], L".tmp")) << during[0];

  // The port closed without EndDocPort: the incomplete job is dropped.
  EXPECT_TRUE(table_->pfnClosePort(port));
  EXPECT_TRUE(JobFiles(JobId(3)).empty());
}

TEST_F(MonitorTest, RefusesDataOutsideADocument) {
  HANDLE port = OpenOurPort();
  ASSERT_NE(port, nullptr);
  DWORD written = 7;
  BYTE data[] = {1, 2, 3};
  EXPECT_FALSE(table_->pfnWritePort(port, data, sizeof(data), &written));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(table_->pfnEndDocPort(port));

  ASSERT_TRUE(table_->pfnStartDocPort(port, nullptr, JobId(4), 1, nullptr));
  EXPECT_FALSE(table_->pfnStartDocPort(port, nullptr, JobId(5), 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  EXPECT_TRUE(table_->pfnEndDocPort(port));
  EXPECT_TRUE(table_->pfnClosePort(port));
  EXPECT_TRUE(JobFiles(JobId(5)).empty());
  EXPECT_EQ(JobFiles(JobId(4)).size(), 1u);  // an empty job is still a job
}

TEST_F(MonitorTest, ConfigurationChannelNeedsAdministratorRights) {
  HANDLE xcv = nullptr;
  ASSERT_TRUE(table_->pfnXcvOpenPort(monitor_, L"Lumenquill:", SERVER_ACCESS_ENUMERATE, &xcv));
  DWORD needed = 5;
  EXPECT_EQ(table_->pfnXcvDataPort(xcv, L"MonitorUI", nullptr, 0, nullptr, 0, &needed),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(table_->pfnXcvClosePort(xcv));

  ASSERT_TRUE(table_->pfnXcvOpenPort(monitor_, nullptr, SERVER_ACCESS_ADMINISTER, &xcv));
  EXPECT_EQ(table_->pfnXcvDataPort(xcv, L"MonitorUI", nullptr, 0, nullptr, 0, &needed),
            static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(needed, 0u);
  EXPECT_TRUE(table_->pfnXcvClosePort(xcv));
}

}  // namespace
