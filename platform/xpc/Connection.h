// xpc::Connection: one end of a link between two processes over a Unix-domain
// stream socket — the stand-in for NSXPCConnection. Either end may export an
// object (calls from the peer arrive on it) and call the peer's exported object
// through a proxy, on the same connection.
//
// Threading: all methods are thread-safe. Incoming calls, replies, error handlers
// and the interruption and invalidation handlers all run on queue(), one at a
// time. A resumed connection keeps itself alive until it is invalidated, by
// invalidate() or because the link ended.
//
// Endings: when the peer closes or dies, every outstanding call's error handler
// gets "NSCocoaErrorDomain" 4097, then the interruption handler runs, then the
// invalidation handler, each once. After invalidate() — or after the peer sent a
// malformed or oversized frame — outstanding calls get 4099 and only the
// invalidation handler runs. Calls made after the end get 4099. Handlers and the
// exported object are released after the invalidation handler has run.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/ListenerEndpoint.h"
#include "platform/xpc/Protocol.h"
#include "platform/xpc/Socket.h"
#include "platform/xpc/WireFormat.h"

namespace xpc {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Handler = std::function<void()>;
  using ErrorHandler = RemoteChannel::ErrorHandler;

  // A connection to the listener at `endpoint`; it connects on resume().
  static std::shared_ptr<Connection> withEndpoint(const ListenerEndpoint& endpoint);
  // A connection over a stream socket that is already connected (one end of a
  // socketpair whose other end another program relays), not yet resumed. The
  // other end's credentials are not checked: whoever made the socket vouches for it.
  static std::shared_ptr<Connection> withConnectedSocket(socket::UniqueFd fd);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // What this end offers the peer. Calls that arrive with no exported object, for
  // a selector outside the exported interface, or with refused arguments are
  // refused back to the caller; the connection stays up.
  void setExportedInterface(std::shared_ptr<Interface> interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  template <typename P>
  void setExportedObject(std::shared_ptr<P> object) {
    setExportedObject(ProtocolTraits<P>::makeDispatcher(std::move(object)));
  }

  // What the peer offers; proxies check replies against it. Set it before asking
  // for a proxy; a proxy keeps the interface it was made with.
  void setRemoteObjectInterface(std::shared_ptr<Interface> interface);
  template <typename P>
  std::shared_ptr<P> remoteObjectProxyWithErrorHandler(ErrorHandler handler) {
    return ProtocolTraits<P>::makeProxy(channel(ProtocolTraits<P>::spec(), std::move(handler)));
  }
  template <typename P>
  std::shared_ptr<P> remoteObjectProxy() {
    return remoteObjectProxyWithErrorHandler<P>(nullptr);
  }

  void setInterruptionHandler(Handler handler);
  void setInvalidationHandler(Handler handler);

  // Starts the link: connects (client side) and starts receiving. Once only.
  void resume();
  // Ends the link. Idempotent.
  void invalidate();

  // The serial queue that runs this connection's calls, replies and handlers.
  dispatch::Queue& queue() { return queue_; }

  // The peer's process id and user id, once connected.
  std::optional<socket::PeerCredentials> peerCredentials() const;

 private:
  friend class Listener;
  friend class RemoteChannel;
  friend class ReplySender;

  enum class Lifecycle { suspended, resumed, invalidated };
  enum class Ending { invalidated, peerClosed, protocolViolation, connectFailed };

  struct Pending {
    std::size_t method;
    std::shared_ptr<const Interface> interface;
    RemoteChannel::ReplyReader onReply;
    std::shared_ptr<const ErrorHandler> errorHandler;
  };

  Connection(std::optional<std::string> endpointPath, socket::UniqueFd fd, std::optional<socket::PeerCredentials> peer);
  // A connection for a socket the listener accepted; not resumed.
  static std::shared_ptr<Connection> accepted(socket::UniqueFd fd, socket::PeerCredentials peer);

  RemoteChannel channel(const ProtocolSpec& protocol, ErrorHandler handler);
  void sendCall(std::size_t method, MessageWriter&& call, RemoteChannel::ReplyReader onReply,
                std::shared_ptr<const Interface> interface, std::shared_ptr<const ErrorHandler> errorHandler);
  void sendRefusal(std::uint64_t sequence, std::string_view reason);
  // Queues (or sends) a finished frame; false once the link is closed for writing.
  bool writeFrame(wire::Bytes frame);
  void failLater(std::shared_ptr<const ErrorHandler> handler, std::int64_t code, std::string reason);
  void terminate(Ending ending, std::string reason);
  void wakeFlusher();

  // On the I/O thread, which reads; and the flushing thread, started the first time
  // a frame does not fit in the socket, which writes what is left of it.
  void ioLoop();
  void flushLoop(int fd);
  void startFlusherLocked();  // writeMutex_ held
  bool flushOutbox();
  bool flushOutboxLocked();  // writeMutex_ held
  bool handleFrame(const std::uint8_t* payload, std::size_t size);
  void deliver(const wire::MessageHeader& header, const std::uint8_t* payload, std::size_t size,
               std::optional<Pending> pending);

  // On queue_.
  void dispatchCall(const wire::MessageHeader& header);
  void dispatchReply(Pending& pending, const wire::MessageHeader& header);

  // Constant after construction.
  const std::optional<std::string> endpointPath_;  // client side only
  const socket::UniqueFd wakeFd_;                  // eventfd that wakes the flushing thread
  dispatch::Queue queue_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  Lifecycle lifecycle_ = Lifecycle::suspended;
  std::shared_ptr<const Interface> exportedInterface_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::shared_ptr<const Interface> remoteInterface_;
  Handler interruptionHandler_;
  Handler invalidationHandler_;
  std::uint64_t nextSequence_ = 1;
  std::unordered_map<std::uint64_t, Pending> pending_;
  std::optional<socket::PeerCredentials> peer_;
  std::thread ioThread_;  // holds a reference to the connection until it ends

  // Guarded by writeMutex_. The socket is closed only here and only by the I/O
  // thread on its way out (or the destructor when it never ran).
  std::mutex writeMutex_;
  socket::UniqueFd fd_;
  std::deque<wire::Bytes> outbox_;  // whole frames, taken over rather than copied
  std::size_t outboxSent_ = 0;      // bytes of outbox_.front() already on the socket
  bool writeClosed_ = false;
  bool ioRunning_ = false;  // the flusher may start only while the reader runs: it joins it
  std::thread flushThread_;
  std::atomic<bool> outboxPending_{false};
  std::atomic<bool> stopping_{false};
};

}  // namespace xpc
