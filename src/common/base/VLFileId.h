#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "VLFileFormat.h"

// Identity of an audio file: an entity id (bytes, compared unsigned) and a row of
// the format table (not owned). A value type; no lock.
class VLFileId {
 public:
  // `format` must be a row of the format table (never null).
  VLFileId(const std::string& entityId, const VLFileFormat* format);
  // The format is VLFileFormat::find(formatId): unknown ids become format 6.
  VLFileId(std::string entityId, uint32_t formatId);
  VLFileId(const VLFileId& other) = default;
  VLFileId(VLFileId&& other) = default;
  VLFileId& operator=(const VLFileId& other) = default;
  VLFileId& operator=(VLFileId&& other) = default;
  virtual ~VLFileId() {}

  std::string getEntityId() const { return entityId_; }
  // Reference form for hot paths; valid while this object lives.
  const std::string& entityId() const { return entityId_; }
  const VLFileFormat* getFormat() const { return format_; }

  // Equal format ids and byte-equal entity ids.
  bool operator==(const VLFileId& other) const;
  bool operator!=(const VLFileId& other) const { return !(*this == other); }
  // Entity ids byte-wise (unsigned, a prefix first), then format ids.
  bool operator<(const VLFileId& other) const;

 private:
  std::string entityId_;
  const VLFileFormat* format_;
};

// Writes the id as logged everywhere: entity id, "_", format id in decimal.
std::ostream& operator<<(std::ostream& out, const VLFileId& fileId);
