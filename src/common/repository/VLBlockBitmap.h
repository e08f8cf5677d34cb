#pragma once

#include <cstddef>
#include <list>

// The ".part" block bitmap of a repository content file.
//
// A content file of S bytes is split into 4096-byte blocks; the last block
// holds the remainder. Bit b of the bitmap (byte b >> 3, mask 1 << (b & 7))
// is set when block b holds downloaded bytes, and the bitmap is exactly
// getBitmapSize(S) bytes long, with no header. Bits are only ever set one by
// one; a new size or validator clears the whole bitmap.
//
// These functions work in place on the two memory mappings and know nothing
// of files or paths. The callers guarantee that offset + length lies inside
// the content and that the bitmap covers every block touched: nothing is
// checked here, so that the per-read and per-block paths stay cheap.
// They hold no lock; the callers serialise access to one mapping.

// Length in bytes of the bitmap of a content of contentSize bytes.
size_t getBitmapSize(size_t contentSize);

// Copies bytes from content + offset into destination while the blocks they
// lie in are marked present. Returns the number of bytes copied: from the
// offset up to the first touched block whose bit is clear, at most length.
size_t readBlocks(void* destination, const void* content, const void* bitmap, size_t offset, size_t length);

// Copies whole blocks from source to content + offset (a block boundary),
// without marking them. A trailing partial block is copied only when
// endOfFile says that it is the file's last block. Returns the number of
// bytes copied; an uncopied tail stays with the caller.
size_t copyBlocks(void* content, const void* source, size_t offset, size_t length, bool endOfFile);

// Marks present the blocks of the length bytes from offset (a block
// boundary), a trailing partial block included: the bytes copyBlocks copied.
// A caller sets the bits only once the bytes are stored, so that a set bit
// never stands for a block that is not.
void markBlocks(void* bitmap, size_t offset, size_t length);

// Number of consecutive bits from firstBit on that equal value, at most count.
size_t getBitRunLength(const void* bitmap, size_t firstBit, size_t count, bool value);

// For every run of bits equal to value among the count bits from firstBit,
// in ascending order, appends the index of its first and of its last bit.
void getBitRuns(const void* bitmap, size_t firstBit, size_t count, bool value, std::list<size_t>& runs);

// Number of set bits in the first byteCount bytes of the bitmap.
size_t countBits(const void* bitmap, size_t byteCount);
