#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace velto {

// A fixed-size working array that lives on the stack up to `StackSize` elements and on the heap
// beyond, so that the common small call allocates nothing.
template <typename T, std::size_t StackSize = 64>
class ScratchArray {
 public:
  explicit ScratchArray(std::size_t size) {
    if (size > StackSize) {
      heap_.resize(size);
    }
  }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;

  T* data() { return heap_.empty() ? stack_.data() : heap_.data(); }

 private:
  std::array<T, StackSize> stack_;
  std::vector<T> heap_;
};

}  // namespace velto
