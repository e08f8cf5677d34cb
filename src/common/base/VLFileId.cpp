#include "VLFileId.h"

#include <utility>

VLFileId::VLFileId(const std::string& entityId, const VLFileFormat* format) : entityId_(entityId), format_(format) {}

VLFileId::VLFileId(std::string entityId, uint32_t formatId)
    : entityId_(std::move(entityId)), format_(VLFileFormat::find(formatId)) {}

bool VLFileId::operator==(const VLFileId& other) const {
  return format_->getId() == other.format_->getId() && entityId_ == other.entityId_;
}

bool VLFileId::operator<(const VLFileId& other) const {
  // std::string::compare goes through char_traits<char>::compare, which compares
  // as unsigned char, so bytes >= 0x80 sort after ASCII.
  int order = entityId_.compare(other.entityId_);
  if (order != 0) return order < 0;
  return format_->getId() < other.format_->getId();
}

std::ostream& operator<<(std::ostream& out, const VLFileId& fileId) {
  return out << fileId.entityId() << '_' << fileId.getFormat()->getId();
}
