// xpc::ListenerEndpoint: where a listener can be reached — the stand-in for
// NSXPCListenerEndpoint. A plain value (the socket path) with a text form that can
// be handed to another process and turned back into an endpoint there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace xpc {

class ListenerEndpoint {
 public:
  // An endpoint that nothing listens on; connecting to it fails.
  ListenerEndpoint() = default;

  // Absent unless `text` is an absolute path that fits a socket address.
  static std::optional<ListenerEndpoint> fromText(std::string_view text);

  const std::string& text() const { return path_; }
  const std::string& socketPath() const { return path_; }
  bool isValid() const { return !path_.empty(); }

  friend bool operator==(const ListenerEndpoint&, const ListenerEndpoint&) = default;

 private:
  std::string path_;
};

}  // namespace xpc
