#include "DirectCallClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DirectCallWire.h"
#include "PageChannelProtocol.h"

namespace P = PageChannelProtocol;
namespace W = DirectCallWire;

int DirectCallClient::open() {
  close();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    g_warning("value calls go over the page-object channel: no socket pair: %s", g_strerror(errno));
    return -1;
  }
  socket_ = ends[0];
  return ends[1];
}

void DirectCallClient::close() {
  if (socket_ < 0) return;
  ::close(socket_);
  socket_ = -1;
}

DirectCallClient::Outcome DirectCallClient::fail(const char* what) {
  g_warning("value calls go over the page-object channel from now on: direct call %s", what);
  close();
  return Outcome::kFailed;
}

DirectCallClient::Outcome DirectCallClient::ask(uint64_t messages, GVariant* parameters, GVariant** result) {
  *result = nullptr;
  if (socket_ < 0) return Outcome::kFailed;
  gsize size = g_variant_get_size(parameters);
  if (size > P::kDirectMaxBytes) return Outcome::kAskWithCall;
  unsigned char header[P::kDirectRequestHeader];
  W::put64(header, messages);
  W::put32(header + 8, static_cast<uint32_t>(size));
  if (!W::writeFrame(socket_, header, sizeof header, g_variant_get_data(parameters), size)) return fail("not sent");

  unsigned char reply[P::kDirectReplyHeader];
  if (!W::readAll(socket_, reply, sizeof reply)) return fail("not answered");
  uint32_t status = W::get32(reply);
  uint32_t length = W::get32(reply + 4);
  if (status != P::kDirectAnswered) {
    if (length != 0) return fail("answered wrongly");
    return status == P::kDirectNeverHere ? Outcome::kNeverHere : Outcome::kAskWithCall;
  }
  if (length > P::kDirectMaxBytes) return fail("answered too much");
  gpointer data = g_malloc(length > 0 ? length : 1);
  if (!W::readAll(socket_, data, length)) {
    g_free(data);
    return fail("answered in part");
  }
  *result = g_variant_ref_sink(g_variant_new_from_data(G_VARIANT_TYPE_VARIANT, data, length, FALSE, g_free, data));
  return Outcome::kAnswered;
}
