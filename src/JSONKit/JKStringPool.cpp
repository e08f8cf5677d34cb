#include "JKStringPool.h"

JKValue::SharedString JKStringPool::make(std::string_view bytes) {
  if (used_ == kBlockStrings) {
    block_ = std::make_shared<Block>();
    used_ = 0;
  }
  std::string& text = block_->strings[used_++];
  text.assign(bytes.data(), bytes.size());
  return JKValue::SharedString(block_, &text);  // shares the block's reference count
}
