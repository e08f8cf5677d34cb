#include "VLFileFormat.h"

namespace {

// Built on first use (a function-local static) so that code running during
// static initialisation of other files can already look formats up.
const VLFileFormat* table() {
  // Row order is search preference. Columns: id, default, secondary class,
  // primary class, enabled.
  static const VLFileFormat rows[VLFileFormat::TABLE_SIZE] = {
      VLFileFormat(6, true, false, true, true),     VLFileFormat(1, false, false, true, false),
      VLFileFormat(13, false, false, true, true),   VLFileFormat(11, false, false, true, true),
      VLFileFormat(18, false, true, false, true),   VLFileFormat(8, false, true, false, false),
      VLFileFormat(5, true, true, false, true),     VLFileFormat(17, false, true, false, true),
      VLFileFormat(9, false, true, false, false),   VLFileFormat(10, false, true, false, true),
      VLFileFormat(2, false, false, false, false),  VLFileFormat(3, false, true, true, false),
      VLFileFormat(4, false, false, false, false),  VLFileFormat(7, false, false, false, false),
      VLFileFormat(12, false, false, false, false), VLFileFormat(14, false, false, false, false),
      VLFileFormat(15, false, true, false, false),  VLFileFormat(16, false, true, false, false),
      VLFileFormat(20, false, false, false, false), VLFileFormat(21, false, false, false, false),
      VLFileFormat(24, false, false, false, false), VLFileFormat(25, false, false, false, false),
      VLFileFormat(26, false, false, false, false), VLFileFormat(27, false, false, false, false),
      VLFileFormat(28, false, false, false, false), VLFileFormat(29, false, false, false, false),
      VLFileFormat(30, false, false, false, false),
  };
  return rows;
}

}  // namespace

VLFileFormat::VLFileFormat(uint32_t id, bool isDefault, bool isSecondaryClass, bool isPrimaryClass, bool isEnabled)
    : id_(id),
      isDefault_(isDefault),
      isSecondaryClass_(isSecondaryClass),
      isPrimaryClass_(isPrimaryClass),
      isEnabled_(isEnabled) {}

const VLFileFormat* VLFileFormat::getTable() {
  return table();
}

const VLFileFormat* VLFileFormat::find(uint32_t id) {
  const VLFileFormat* rows = table();
  for (int i = 0; i < TABLE_SIZE; ++i) {
    if (rows[i].id_ == id) return &rows[i];
  }
  return &rows[0];
}
