// The contract suite on the simulated Windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "contract/contract_env.h"
#include "sim/sim_windows.h"

namespace contract {
namespace {

class ModelEnv final : public ContractEnv {
 public:
  void Reset() override {
    sim_ = std::make_unique<sim::SimWindows>();
    sim::File& versioned = sim_->fs.Put(VersionedDll(), "MZ");
    versioned.version = sim::FileVersion{{1, 2, 3, 2542}, {1, 2, 3, 2542}};
    sim_->fs.Put(PlainDll(), "MZ");
    for (const wchar_t* name : {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll"}) {
      sim_->fs.Put(PayloadFile(name), "MZ payload").version =
          sim::FileVersion{{1, 0, 0, 2542}, {1, 0, 0, 2542}};
    }
  }
  void Check() override {
    EXPECT_THAT(sim_->Leaks(), ::testing::IsEmpty()) << "the suite itself leaked";
  }
  platform::SystemApi& Api() override { return *sim_; }
  std::wstring ScratchDirectory(const std::string& test) override {
    std::wstring directory = L"C:\\contract\\" + std::wstring(test.begin(), test.end());
    sim_->fs.MakeDirectory(directory);
    return directory;
  }
  std::wstring VersionedDll() override { return L"C:\\tests\\contract_versioned.dll"; }
  std::wstring PlainDll() override { return L"C:\\tests\\contract_plain.dll"; }
  std::wstring PayloadFile(const std::wstring& name) override { return L"C:\\payload\\" + name; }
  bool IsWine() override { return false; }

 private:
  std::unique_ptr<sim::SimWindows> sim_;
};

}  // namespace

ContractEnv& Env() {
  static ModelEnv env;
  return env;
}

}  // namespace contract
