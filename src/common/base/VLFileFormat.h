#pragma once

#include <cstdint>

// One row of the static table of audio formats. Rows are built before main and
// never change; any thread may read them. Every VLFileFormat pointer passed
// around the core points at a row of this table.
class VLFileFormat {
 public:
  // Number of rows in the table.
  static const int TABLE_SIZE = 27;

  VLFileFormat(uint32_t id, bool isDefault, bool isSecondaryClass, bool isPrimaryClass, bool isEnabled);
  virtual ~VLFileFormat() {}

  uint32_t getId() const { return id_; }
  // Within its class, the format fetched into the cache when nothing fits.
  bool isDefault() const { return isDefault_; }
  // In the class searched for a request of any format other than 6.
  bool isSecondaryClass() const { return isSecondaryClass_; }
  // In the class searched for a request of format 6.
  bool isPrimaryClass() const { return isPrimaryClass_; }
  // Takes part in file searches at all.
  bool isEnabled() const { return isEnabled_; }

  // Formats are equal when their ids are (flags are not compared).
  bool operator==(const VLFileFormat& other) const { return id_ == other.id_; }
  bool operator!=(const VLFileFormat& other) const { return id_ != other.id_; }

  // The first row; the TABLE_SIZE rows follow it in search-preference order.
  static const VLFileFormat* getTable();
  // The row with that id, or the first row (id 6) when none has it. Never null.
  static const VLFileFormat* find(uint32_t id);

 private:
  uint32_t id_;
  bool isDefault_;
  bool isSecondaryClass_;
  bool isPrimaryClass_;
  bool isEnabled_;
};
