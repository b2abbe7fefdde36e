#include "platform/system_api.h"

#include "platform/win32_system.h"

namespace platform {
namespace {
SystemApi* installed = nullptr;
}  // namespace

SystemApi& Sys() {
  return installed != nullptr ? *installed : ProductionSystem();
}

SystemScope::SystemScope(SystemApi& system) : previous_(installed) {
  installed = &system;
}

SystemScope::~SystemScope() {
  installed = previous_;
}

}  // namespace platform
