// The contract suite on the real platform (Win32 under Wine).
#include <gtest/gtest.h>

#include "contract/contract_env.h"
#include "platform/win32_system.h"

namespace contract {
namespace {

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/"));
}

class Win32Env final : public ContractEnv {
 public:
  void Reset() override {}
  void Check() override {}
  platform::SystemApi& Api() override { return platform::ProductionSystem(); }
  std::wstring ScratchDirectory(const std::string& test) override {
    std::wstring root = L"C:\\contract";
    ::CreateDirectoryW(root.c_str(), nullptr);
    std::wstring directory = root + L"\\" + std::wstring(test.begin(), test.end()) + L"." +
                             std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
  }
  std::wstring VersionedDll() override { return ProgramDirectory() + L"\\contract_versioned.dll"; }
  std::wstring PlainDll() override { return ProgramDirectory() + L"\\contract_plain.dll"; }
  std::wstring PayloadFile(const std::wstring& name) override {
    return std::wstring(L"Z:" PAYLOAD_DIR_PATH L"\\") + name;
  }
  bool IsWine() override { return true; }
};

}  // namespace

ContractEnv& Env() {
  static Win32Env env;
  return env;
}

}  // namespace contract
