#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "JKValue.h"

// Makes the decoder's shared strings in blocks: one allocation and one
// reference count serve a whole block of strings, and a block is freed when
// the last string made in it goes. A parse makes hundreds of thousands of
// strings that live and die together with their document, so this saves an
// allocation and a control block per string (half the memory of a short one).
// The price: one string kept alive keeps its block (under a kilobyte) alive.
//
// Not thread-safe: it belongs to one decoder. The strings it hands out are
// ordinary shared strings, usable on any thread.
class JKStringPool {
 public:
  // A new shared string holding `bytes`.
  JKValue::SharedString make(std::string_view bytes);

 private:
  // 24 strings of 32 bytes: a block stays below a kilobyte, the size from
  // which the C library's allocator starts to sort its free lists.
  static constexpr std::size_t kBlockStrings = 24;
  struct Block {
    std::string strings[kBlockStrings];
  };

  std::shared_ptr<Block> block_;
  std::size_t used_ = kBlockStrings;
};
