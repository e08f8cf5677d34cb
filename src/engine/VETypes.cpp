#include "VETypes.h"

#include "VEOutputTable.h"

const char* veOutputTypeName(int type) {
  const VEOutputEntry* entry = veFindOutput(type);
  return entry ? entry->name : "Unknown";
}
