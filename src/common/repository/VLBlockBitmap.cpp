#include "VLBlockBitmap.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

const size_t kBlockShift = 12;
const size_t kBlockSize = size_t(1) << kBlockShift;
const size_t kBlockMask = kBlockSize - 1;

bool isBitSet(const uint8_t* bits, size_t index) {
  return (bits[index >> 3] & (1u << (index & 7))) != 0;
}

void setBit(uint8_t* bits, size_t index) {
  bits[index >> 3] |= uint8_t(1u << (index & 7));
}

// Bit counts of every byte value, made once; a static local is built under
// the language's own guard, so a first call from any thread is safe.
const std::array<uint32_t, 256>& bitCountTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> counts{};
    for (size_t i = 1; i < counts.size(); ++i) counts[i] = (i & 1) + counts[i / 2];
    return counts;
  }();
  return table;
}

}  // namespace

size_t getBitmapSize(size_t contentSize) {
  size_t blocks = (contentSize >> kBlockShift) + ((contentSize & kBlockMask) ? 1 : 0);
  return (blocks + 7) >> 3;
}

size_t readBlocks(void* destination, const void* content, const void* bitmap, size_t offset, size_t length) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  const uint8_t* in = static_cast<const uint8_t*>(content);
  const uint8_t* bits = static_cast<const uint8_t*>(bitmap);
  size_t remaining = length;

  if (remaining == 0) return 0;

  if ((offset & kBlockMask) != 0) {
    size_t head = kBlockSize - (offset & kBlockMask);
    if (head > remaining) head = remaining;
    if (!isBitSet(bits, offset >> kBlockShift)) return 0;
    memcpy(out, in + offset, head);
    out += head;
    offset += head;
    remaining -= head;
  }
  while (remaining >= kBlockSize) {
    if (!isBitSet(bits, offset >> kBlockShift)) return length - remaining;
    memcpy(out, in + offset, kBlockSize);
    out += kBlockSize;
    offset += kBlockSize;
    remaining -= kBlockSize;
  }
  if (remaining == 0) return length;
  if (!isBitSet(bits, offset >> kBlockShift)) return length - remaining;
  memcpy(out, in + offset, remaining);
  return length;
}

size_t copyBlocks(void* content, const void* source, size_t offset, size_t length, bool endOfFile) {
  size_t whole = length & ~(kBlockSize - 1);
  size_t count = endOfFile ? length : whole;
  memcpy(static_cast<uint8_t*>(content) + offset, source, count);
  return count;
}

void markBlocks(void* bitmap, size_t offset, size_t length) {
  uint8_t* bits = static_cast<uint8_t*>(bitmap);
  for (size_t done = 0; done < length; done += kBlockSize) setBit(bits, (offset + done) >> kBlockShift);
}

size_t getBitRunLength(const void* bitmap, size_t firstBit, size_t count, bool value) {
  const uint8_t* bits = static_cast<const uint8_t*>(bitmap);
  const uint8_t wholeByte = value ? 0xFF : 0x00;
  size_t index = firstBit;
  size_t remaining = count;

  while (remaining > 0 && (index & 7) != 0) {
    if (isBitSet(bits, index) != value) return count - remaining;
    ++index;
    --remaining;
  }
  while (remaining > 8 && bits[index >> 3] == wholeByte) {
    index += 8;
    remaining -= 8;
  }
  while (remaining > 0) {
    if (isBitSet(bits, index) != value) break;
    ++index;
    --remaining;
  }
  return count - remaining;
}

void getBitRuns(const void* bitmap, size_t firstBit, size_t count, bool value, std::list<size_t>& runs) {
  bool current = value;
  size_t index = firstBit;
  size_t remaining = count;
  while (remaining > 0) {
    size_t run = getBitRunLength(bitmap, index, remaining, current);
    if (current == value && run > 0) {
      runs.push_back(index);
      runs.push_back(index + run - 1);
    }
    index += run;
    remaining -= run;
    current = !current;
  }
}

size_t countBits(const void* bitmap, size_t byteCount) {
  const uint8_t* bytes = static_cast<const uint8_t*>(bitmap);
  const std::array<uint32_t, 256>& table = bitCountTable();
  size_t total = 0;
  for (size_t i = 0; i < byteCount; ++i) total += table[bytes[i]];
  return total;
}
