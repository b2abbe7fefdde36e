// What the contract suite needs from the world it runs in, besides the seam
// itself: the seam under test (Win32 under Wine, or the simulated Windows), a
// fresh scratch directory, and the paths of two DLLs, one with a version
// resource and one without.
#pragma once

#include <string>

#include "platform/system_api.h"

namespace contract {

class ContractEnv {
 public:
  virtual ~ContractEnv() = default;
  // Called before each test; the model starts from a fresh machine.
  virtual void Reset() = 0;
  // Called after each test; the model checks for leaked handles and blocks.
  virtual void Check() = 0;
  virtual platform::SystemApi& Api() = 0;
  // An empty directory of its own for the current test, without trailing
  // separator.
  virtual std::wstring ScratchDirectory(const std::string& test) = 0;
  // A DLL whose product and file version are 1.2.3.2542.
  virtual std::wstring VersionedDll() = 0;
  // A DLL without any version resource.
  virtual std::wstring PlainDll() = 0;
  // A file of the product's payload (kvnmon64.dll, kvndrv64.dll, kvnui64.dll).
  virtual std::wstring PayloadFile(const std::wstring& name) = 0;
  // True for the real platform, for the few cases where Wine differs from
  // Windows and the model follows Windows.
  virtual bool IsWine() = 0;
};

// Defined by each of the two test programs.
ContractEnv& Env();

}  // namespace contract
