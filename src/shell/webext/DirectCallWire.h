// Reading and writing the frames of direct calls (see PageChannelProtocol.h)
// on a blocking stream socket; shared by the extension and the application.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace DirectCallWire {

// Reads exactly size bytes; false at the end of the stream or on an error.
inline bool readAll(int fd, void* data, size_t size) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    ssize_t got = read(fd, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Writes the header and then the body; false when the peer is gone (no
// SIGPIPE) or on an error.
inline bool writeFrame(int fd, const void* header, size_t headerSize, const void* body, size_t bodySize) {
  struct iovec parts[2] = {{const_cast<void*>(header), headerSize}, {const_cast<void*>(body), bodySize}};
  struct msghdr message = {};
  message.msg_iov = parts;
  message.msg_iovlen = bodySize > 0 ? 2 : 1;
  while (message.msg_iovlen > 0) {
    ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    auto done = static_cast<size_t>(sent);
    while (message.msg_iovlen > 0 && done >= message.msg_iov->iov_len) {
      done -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + done;
      message.msg_iov->iov_len -= done;
    }
  }
  return true;
}

inline void put32(unsigned char* at, uint32_t value) {
  std::memcpy(at, &value, sizeof value);
}
inline void put64(unsigned char* at, uint64_t value) {
  std::memcpy(at, &value, sizeof value);
}
inline uint32_t get32(const unsigned char* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
inline uint64_t get64(const unsigned char* at) {
  uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace DirectCallWire
