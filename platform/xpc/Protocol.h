// How a protocol is bound to a connection. A protocol is an abstract C++ class
// (e.g. corvane::VfsXpcProtocol) plus a ProtocolTraits specialisation naming its
// ProtocolSpec, a proxy (turns each call into a message through a RemoteChannel)
// and a dispatcher (an ExportedObject that turns incoming calls back into calls on
// the real object). Both are written by hand next to the protocol.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Message.h"

namespace xpc {

class Connection;

// The reply of one incoming call. Copies share it; the first send() delivers it,
// a second is a programming error (aborts in debug builds, ignored otherwise).
// When every copy is gone without a send, the caller is told the call was refused,
// so no caller waits for a reply that will never come. Thread-safe.
class ReplySender {
 public:
  ReplySender() = default;  // for a call without reply; send() aborts

  MessageWriter begin() const;
  void send(MessageWriter&& reply) const;

  struct Token;

 private:
  friend class Connection;
  explicit ReplySender(std::shared_ptr<Token> token) : token_(std::move(token)) {}
  std::shared_ptr<Token> token_;
};

// The exporting side of a protocol. invoke() runs on the connection's queue.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual const ProtocolSpec& protocol() const = 0;
  // Reads the arguments of `method` and, when all were accepted, calls the object
  // with `reply`. Returns false, without calling anything, when an argument was
  // refused; the connection then refuses the call.
  virtual bool invoke(std::size_t method, ArgumentReader& arguments, const ReplySender& reply) = 0;
};

// The calling side of a protocol, held by a proxy. Thread-safe; calls may be made
// from any thread.
class RemoteChannel {
 public:
  using ErrorHandler = std::function<void(const foundation::Error&)>;
  // Reads a reply and calls the reply block. Returns false, without calling it,
  // when the reply was refused; the proxy's error handler then gets 4101 instead.
  using ReplyReader = std::function<bool(ArgumentReader&)>;

  MessageWriter beginCall(std::size_t method) const;
  // Sends the call. Exactly one of these follows, on the connection's queue: the
  // reply reader (with the reply), or the error handler (4097 interrupted, 4099
  // invalid or refused by the peer, 4101 reply refused).
  void send(std::size_t method, MessageWriter&& call, ReplyReader onReply) const;

  const Interface& interface() const { return *interface_; }

 private:
  friend class Connection;
  RemoteChannel(std::shared_ptr<Connection> connection, std::shared_ptr<const Interface> interface,
                std::shared_ptr<const ErrorHandler> errorHandler)
      : connection_(std::move(connection)), interface_(std::move(interface)), errorHandler_(std::move(errorHandler)) {}

  std::shared_ptr<Connection> connection_;
  std::shared_ptr<const Interface> interface_;
  std::shared_ptr<const ErrorHandler> errorHandler_;
};

// Specialise for each protocol:
//   static const ProtocolSpec& spec();
//   static std::shared_ptr<P> makeProxy(RemoteChannel channel);
//   static std::shared_ptr<ExportedObject> makeDispatcher(std::shared_ptr<P> object);
template <typename P>
struct ProtocolTraits;

}  // namespace xpc
