#include "base/module_instance.h"

namespace base {
namespace {
HINSTANCE module_instance = nullptr;
}  // namespace

void SetModuleInstance(HINSTANCE instance) {
  module_instance = instance;
}

HINSTANCE ModuleInstance() {
  return module_instance;
}

}  // namespace base
