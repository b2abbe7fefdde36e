#include "companions/help_windows.h"

#include "platform/system_api.h"

namespace companions {
namespace {

using platform::Sys;

constexpr wchar_t kViewerClass[] = L"HH Parent";
constexpr wchar_t kViewerTitle[] = L"Lumenquill Help";
constexpr DWORD kPauseAfterRequest = 50;  // ms

}  // namespace

void CloseHelpWindows() {
  for (int request = 0; request < kMaxHelpCloseRequests; ++request) {
    HWND viewer = Sys().FindWindowW(kViewerClass, kViewerTitle);
    if (viewer == nullptr) {
      return;
    }
    Sys().PostMessageW(viewer, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sys().Sleep(kPauseAfterRequest);
  }
}

}  // namespace companions
