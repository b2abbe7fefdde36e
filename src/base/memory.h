// Fixed, zero-filled global-memory blocks: what spooler results, list nodes
// and copies of names live in. Each is freed by the record or routine that
// owns it.
#pragma once

#include <cstddef>

namespace base {

// A zero-filled block, or null when memory runs out.
void* AllocateBlock(size_t bytes);
void FreeBlock(void* block);

// A copy of a wide or narrow text in a block of its own (length plus one
// characters), or null when memory runs out.
wchar_t* CopyText(const wchar_t* text);
wchar_t* CopyText(const wchar_t* text, size_t length);  // the first `length` characters
char* CopyText(const char* text);

// A block that one scope owns from start to end: freed however the scope ends.
template <typename T>
class OwnedBlock {
 public:
  explicit OwnedBlock(void* block) : block_(static_cast<T*>(block)) {}
  ~OwnedBlock() { FreeBlock(block_); }
  OwnedBlock(const OwnedBlock&) = delete;
  OwnedBlock& operator=(const OwnedBlock&) = delete;
  T* get() const { return block_; }
  // Frees the block held and holds `block` instead.
  void Reset(void* block) {
    FreeBlock(block_);
    block_ = static_cast<T*>(block);
  }
  // Hands the block over without freeing it.
  T* Release() {
    T* block = block_;
    block_ = nullptr;
    return block;
  }

 private:
  T* block_;
};

}  // namespace base
