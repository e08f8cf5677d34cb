#include "DirectCallServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include "DirectCallWire.h"
#include "PageChannelProtocol.h"

namespace P = PageChannelProtocol;
namespace W = DirectCallWire;

DirectCallServer::DirectCallServer(int socket, Answer answer)
    : socket_(socket), answer_(std::move(answer)), thread_([this] { serve(); }) {}

DirectCallServer::~DirectCallServer() {
  // Wakes the thread in a read, or in a write to a peer that does not read.
  shutdown(socket_, SHUT_RDWR);
  thread_.join();
  close(socket_);
}

void DirectCallServer::serve() {
  while (serveOne()) {
  }
  // A broken request, or the extension is gone: it asks over the connection.
  shutdown(socket_, SHUT_RDWR);
}

bool DirectCallServer::serveOne() {
  unsigned char header[P::kDirectRequestHeader];
  if (!W::readAll(socket_, header, sizeof header)) return false;
  uint64_t messages = W::get64(header);
  uint32_t length = W::get32(header + 8);
  if (length > P::kDirectMaxBytes) return false;
  gpointer data = g_malloc(length > 0 ? length : 1);
  if (!W::readAll(socket_, data, length)) {
    g_free(data);
    return false;
  }
  GVariant* parameters =
      g_variant_ref_sink(g_variant_new_from_data(G_VARIANT_TYPE("(tssav)"), data, length, FALSE, g_free, data));
  GVariant* result = nullptr;
  unsigned status = answer_(messages, parameters, &result);
  g_variant_unref(parameters);

  unsigned char reply[P::kDirectReplyHeader];
  W::put32(reply, status);
  if (status != P::kDirectAnswered || result == nullptr) {
    W::put32(reply, status == P::kDirectAnswered ? static_cast<unsigned>(P::kDirectAskWithCall) : status);
    W::put32(reply + 4, 0);
    if (result != nullptr) g_variant_unref(result);
    return W::writeFrame(socket_, reply, sizeof reply, nullptr, 0);
  }
  gsize size = g_variant_get_size(result);
  W::put32(reply + 4, static_cast<uint32_t>(size));
  bool written =
      size <= P::kDirectMaxBytes && W::writeFrame(socket_, reply, sizeof reply, g_variant_get_data(result), size);
  g_variant_unref(result);
  return written;
}
