#include "platform/xpc/ListenerEndpoint.h"

#include "platform/xpc/Socket.h"

namespace xpc {

std::optional<ListenerEndpoint> ListenerEndpoint::fromText(std::string_view text) {
  std::string path(text);
  if (path.empty() || path.front() != '/' || !socket::fitsSocketAddress(path)) return std::nullopt;
  ListenerEndpoint e;
  e.path_ = std::move(path);
  return e;
}

}  // namespace xpc
