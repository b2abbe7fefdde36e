// A handle that one owner closes once, however the owner's scope ends, so
// that no early return leaks it. `Close` is the call the code would make by
// hand (in install.exe the seam's, so that the simulated Windows sees every
// close). Null and INVALID_HANDLE_VALUE, the platform's two answers for "no
// handle", hold nothing: a failed open needs no check before the close.
#pragma once

#include <windows.h>

#include <utility>

namespace base {

template <typename Handle, void (*Close)(Handle)>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(Handle handle) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}

  Handle get() const { return handle_; }
  bool Held() const {
    return handle_ != Handle{} && reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE;
  }
  // Closes what is held now (where the order of closes matters) and holds
  // `handle` instead.
  void Reset(Handle handle = Handle{}) {
    if (Held()) {
      Close(handle_);
    }
    handle_ = handle;
  }
  // Hands the handle over without closing it.
  Handle Release() { return std::exchange(handle_, Handle{}); }

 private:
  Handle handle_{};
};

}  // namespace base
