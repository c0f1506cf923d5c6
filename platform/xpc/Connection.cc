#include "platform/xpc/Connection.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/JoinOrDetach.h"

namespace xpc {

namespace {

constexpr std::size_t kInitialReadBuffer = 64 * 1024;
constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

foundation::Error linkError(std::int64_t code, const std::string& reason) {
  return foundation::Error(foundation::kCocoaErrorDomain, code, foundation::UserInfo{{kDebugDescriptionKey, reason}});
}

[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "xpc::Connection: %s\n", what);
  std::abort();
}

// The same header over a copy of its payload.
wire::MessageHeader rebase(wire::MessageHeader h, const std::uint8_t* from, const std::uint8_t* to) {
  auto moved = [&](const void* p) { return to + (static_cast<const std::uint8_t*>(p) - from); };
  if (!h.selector.empty()) h.selector = {reinterpret_cast<const char*>(moved(h.selector.data())), h.selector.size()};
  if (!h.reason.empty()) h.reason = {reinterpret_cast<const char*>(moved(h.reason.data())), h.reason.size()};
  if (h.arguments.position()) h.arguments = wire::ByteReader(moved(h.arguments.position()), h.arguments.remaining());
  return h;
}

}  // namespace

// ---- ReplySender -------------------------------------------------------------

struct ReplySender::Token {
  std::weak_ptr<Connection> connection;
  std::uint64_t sequence = 0;
  std::atomic<bool> done{false};

  ~Token() {
    if (done.exchange(true)) return;
    if (auto c = connection.lock()) c->sendRefusal(sequence, "the reply block was released without being called");
  }
};

MessageWriter ReplySender::begin() const {
  if (!token_) misuse("reply for a call that takes none");
  return MessageWriter::reply(token_->sequence);
}

void ReplySender::send(MessageWriter&& reply) const {
  if (!token_) misuse("reply for a call that takes none");
  if (token_->done.exchange(true)) {
#ifndef NDEBUG
    misuse("a reply block was called twice");
#endif
    return;
  }
  std::shared_ptr<Connection> c = token_->connection.lock();
  if (!c) return;
  if (reply.payloadSize() > wire::kMaxFramePayload) {
    c->sendRefusal(token_->sequence, "the reply is larger than a frame may be");
    return;
  }
  c->writeFrame(std::move(reply).finish());
}

// ---- RemoteChannel -----------------------------------------------------------

MessageWriter RemoteChannel::beginCall(std::size_t method) const {
  const MethodSpec& m = interface_->protocol().method(method);
  return MessageWriter::call(m.selector, m.reply.has_value());
}

void RemoteChannel::send(std::size_t method, MessageWriter&& call, ReplyReader onReply) const {
  connection_->sendCall(method, std::move(call), std::move(onReply), interface_, errorHandler_);
}

// ---- Connection: set-up ------------------------------------------------------

Connection::Connection(std::optional<std::string> endpointPath, socket::UniqueFd fd,
                       std::optional<socket::PeerCredentials> peer)
    : endpointPath_(std::move(endpointPath)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      queue_("xpc.connection"),
      peer_(peer),
      fd_(std::move(fd)) {
  if (!wakeFd_.valid()) misuse("eventfd failed");
}

std::shared_ptr<Connection> Connection::withEndpoint(const ListenerEndpoint& endpoint) {
  return std::shared_ptr<Connection>(new Connection(endpoint.socketPath(), socket::UniqueFd(), std::nullopt));
}

std::shared_ptr<Connection> Connection::withConnectedSocket(socket::UniqueFd fd) {
  return std::shared_ptr<Connection>(new Connection(std::nullopt, std::move(fd), std::nullopt));
}

std::shared_ptr<Connection> Connection::accepted(socket::UniqueFd fd, socket::PeerCredentials peer) {
  return std::shared_ptr<Connection>(new Connection(std::nullopt, std::move(fd), peer));
}

Connection::~Connection() {
  std::thread io;
  {
    std::lock_guard lock(mutex_);
    io = std::move(ioThread_);
  }
  foundation::joinOrDetach(io);
}

void Connection::setExportedInterface(std::shared_ptr<Interface> interface) {
  auto copy = interface ? std::make_shared<const Interface>(*interface) : nullptr;
  std::lock_guard lock(mutex_);
  exportedInterface_ = std::move(copy);
}

void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  std::lock_guard lock(mutex_);
  exportedObject_ = std::move(object);
}

void Connection::setRemoteObjectInterface(std::shared_ptr<Interface> interface) {
  auto copy = interface ? std::make_shared<const Interface>(*interface) : nullptr;
  std::lock_guard lock(mutex_);
  remoteInterface_ = std::move(copy);
}

void Connection::setInterruptionHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  if (lifecycle_ != Lifecycle::invalidated) interruptionHandler_ = std::move(handler);
}

void Connection::setInvalidationHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  if (lifecycle_ != Lifecycle::invalidated) invalidationHandler_ = std::move(handler);
}

std::optional<socket::PeerCredentials> Connection::peerCredentials() const {
  std::lock_guard lock(mutex_);
  return peer_;
}

RemoteChannel Connection::channel(const ProtocolSpec& protocol, ErrorHandler handler) {
  std::shared_ptr<const Interface> interface;
  {
    std::lock_guard lock(mutex_);
    interface = remoteInterface_;
  }
  if (!interface) misuse("a proxy was requested before setRemoteObjectInterface");
  if (!interface->protocol().conformsTo(protocol)) misuse("the remote interface does not adopt the proxy's protocol");
  auto shared = handler ? std::make_shared<const ErrorHandler>(std::move(handler)) : nullptr;
  return RemoteChannel(shared_from_this(), std::move(interface), std::move(shared));
}

void Connection::resume() {
  {
    std::lock_guard lock(mutex_);
    if (lifecycle_ != Lifecycle::suspended) return;
    lifecycle_ = Lifecycle::resumed;
  }
  if (endpointPath_) {
    auto fd = socket::connectTo(*endpointPath_);
    if (!fd.ok()) {
      terminate(Ending::connectFailed,
                "cannot connect to " + *endpointPath_ + ": " + fd.error().localizedDescription());
      return;
    }
    std::optional<socket::PeerCredentials> cred = socket::peerCredentials(fd->get());
    if (!cred || cred->uid != ::geteuid()) {
      terminate(Ending::connectFailed, "the listener at " + *endpointPath_ + " belongs to another user");
      return;
    }
    {
      std::lock_guard lock(mutex_);
      peer_ = cred;
    }
    std::lock_guard lock(writeMutex_);
    if (!writeClosed_) {
      fd_ = std::move(*fd);
      outboxPending_ = !outbox_.empty();
    }
  }
  std::lock_guard lock(mutex_);
  ioThread_ = std::thread([self = shared_from_this()] { self->ioLoop(); });
}

void Connection::invalidate() { terminate(Ending::invalidated, "the connection was invalidated"); }

// ---- Connection: sending -----------------------------------------------------

void Connection::sendCall(std::size_t method, MessageWriter&& call, RemoteChannel::ReplyReader onReply,
                          std::shared_ptr<const Interface> interface,
                          std::shared_ptr<const ErrorHandler> errorHandler) {
  const MethodSpec& spec = interface->protocol().method(method);
  const bool expectsReply = spec.reply.has_value();
  if (call.payloadSize() > wire::kMaxFramePayload) {
    failLater(errorHandler, foundation::cocoa::kXpcConnectionInvalid,
              "the call to \"" + spec.selector + "\" is larger than a frame may be");
    return;
  }
  std::uint64_t sequence;
  {
    std::lock_guard lock(mutex_);
    if (lifecycle_ == Lifecycle::invalidated) {
      failLater(errorHandler, foundation::cocoa::kXpcConnectionInvalid, "the connection is invalid");
      return;
    }
    sequence = nextSequence_++;
    if (expectsReply)
      pending_.emplace(sequence, Pending{method, std::move(interface), std::move(onReply), errorHandler});
  }
  call.setSequence(sequence);
  // When this fails the link is ending, and the ending answers the pending call.
  writeFrame(std::move(call).finish());
}

void Connection::sendRefusal(std::uint64_t sequence, std::string_view reason) {
  writeFrame(MessageWriter::refusal(sequence, reason));
}

void Connection::failLater(std::shared_ptr<const ErrorHandler> handler, std::int64_t code, std::string reason) {
  if (!handler || !*handler) return;
  queue_.async(
      [handler = std::move(handler), code, reason = std::move(reason)] { (*handler)(linkError(code, reason)); });
}

void Connection::wakeFlusher() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof(one));
}

bool Connection::writeFrame(wire::Bytes frame) {
  bool wake = false;
  {
    std::lock_guard lock(writeMutex_);
    if (writeClosed_) return false;
    std::size_t sent = 0;
    if (fd_.valid() && outbox_.empty()) {
      // Straight to the socket from the caller's thread: no hand-off on the hot path.
      while (sent < frame.size()) {
        ssize_t n = ::send(fd_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          break;
        } else {
          sent = frame.size();  // the peer is gone; the I/O thread will see it and end the link
        }
      }
    }
    if (sent < frame.size()) {
      // The socket is full (or not connected yet): the flushing thread sends the
      // rest, so no caller ever blocks on a slow peer. The frame itself is queued,
      // so a large one is not copied again.
      if (outbox_.empty()) outboxSent_ = sent;
      outbox_.push_back(std::move(frame));
      outboxPending_ = true;
      startFlusherLocked();
      wake = true;
    }
  }
  if (!wake) MessageWriter::recycle(std::move(frame));
  if (wake) wakeFlusher();
  return true;
}

void Connection::startFlusherLocked() {
  if (!ioRunning_ || !fd_.valid() || flushThread_.joinable()) return;
  flushThread_ = std::thread([this, fd = fd_.get()] { flushLoop(fd); });
}

// ---- Connection: the end -----------------------------------------------------

void Connection::terminate(Ending ending, std::string reason) {
  // All of it under mutex_: a second caller (invalidate() racing the reader's own
  // ending) must not return before the handlers are queued, or a queue().sync()
  // after it would not wait for them.
  std::lock_guard lock(mutex_);
  if (lifecycle_ == Lifecycle::invalidated) return;
  lifecycle_ = Lifecycle::invalidated;
  std::vector<std::pair<std::uint64_t, Pending>> orphans(std::make_move_iterator(pending_.begin()),
                                                         std::make_move_iterator(pending_.end()));
  pending_.clear();
  Handler interruption = ending == Ending::peerClosed ? std::move(interruptionHandler_) : nullptr;
  interruptionHandler_ = nullptr;
  Handler invalidation = std::move(invalidationHandler_);
  invalidationHandler_ = nullptr;
  stopping_ = true;
  {
    std::lock_guard writeLock(writeMutex_);
    writeClosed_ = true;
    if (fd_.valid()) {
      // A local close still hands the peer what was already sent from this end
      // (a reply answered just before the teardown), as far as the socket takes it.
      if (ending == Ending::invalidated) flushOutboxLocked();
      ::shutdown(fd_.get(), SHUT_RDWR);
    }
  }
  wakeFlusher();
  std::sort(orphans.begin(), orphans.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::int64_t code = ending == Ending::peerClosed ? foundation::cocoa::kXpcConnectionInterrupted
                                                         : foundation::cocoa::kXpcConnectionInvalid;
  // The exported object rides along so that it is released on the queue, after
  // the last handler has run.
  queue_.async([orphans = std::move(orphans), interruption = std::move(interruption),
                invalidation = std::move(invalidation), exported = std::move(exportedObject_), code,
                reason = std::move(reason)] {
    for (const auto& [sequence, p] : orphans) {
      if (p.errorHandler && *p.errorHandler) (*p.errorHandler)(linkError(code, reason));
    }
    if (interruption) interruption();
    if (invalidation) invalidation();
  });
}

// ---- Connection: receiving (I/O thread) --------------------------------------

void Connection::ioLoop() {
  ::pthread_setname_np(::pthread_self(), "xpc.io");
  int fd;
  {
    std::lock_guard lock(writeMutex_);
    fd = fd_.get();
    ioRunning_ = true;
    if (fd >= 0 && outboxPending_) startFlusherLocked();  // calls queued before the connection was made
  }
  wire::Bytes in(kInitialReadBuffer);  // grows without clearing what recv() overwrites
  std::size_t head = 0;
  std::size_t tail = 0;
  Ending ending = Ending::peerClosed;
  std::string reason = "the peer closed the connection";
  bool failed = fd < 0;

  while (!failed && !stopping_) {
    if (tail == in.size()) {
      if (head > 0) {
        std::memmove(in.data(), in.data() + head, tail - head);
        tail -= head;
        head = 0;
      } else {
        // Only an incomplete frame, whose length was already checked, fills the buffer.
        in.resize(std::min(in.size() * 2, wire::kFrameHeaderSize + wire::kMaxFramePayload));
      }
    }
    // Blocks until bytes arrive, the peer goes, or terminate() shuts the socket down.
    // A reader asleep in recv() is woken straight by the sender, which costs far
    // less per message than coming back through poll(), above all across CPUs.
    ssize_t n = ::recv(fd, in.data() + tail, in.size() - tail, 0);
    if (n == 0) {
      failed = !stopping_;
      break;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = !stopping_;
      break;
    }
    tail += static_cast<std::size_t>(n);

    while (tail - head >= wire::kFrameHeaderSize && !stopping_) {
      const std::uint8_t* h = in.data() + head;
      const std::uint32_t length =
          std::uint32_t(h[0]) | std::uint32_t(h[1]) << 8 | std::uint32_t(h[2]) << 16 | std::uint32_t(h[3]) << 24;
      if (length == 0 || length > wire::kMaxFramePayload) {
        ending = Ending::protocolViolation;
        reason = "the peer sent a frame of " + std::to_string(length) + " bytes";
        failed = true;
        break;
      }
      if (tail - head - wire::kFrameHeaderSize < length) break;
      if (!handleFrame(h + wire::kFrameHeaderSize, length)) {
        ending = Ending::protocolViolation;
        reason = "the peer sent a malformed message";
        failed = true;
        break;
      }
      head += wire::kFrameHeaderSize + length;
    }
    if (failed) break;
    if (head == tail) {
      head = tail = 0;
      if (in.size() > 16 * kInitialReadBuffer) {
        in = wire::Bytes(kInitialReadBuffer);
      }
    }
  }
  if (failed) terminate(ending, std::move(reason));
  stopping_ = true;
  wakeFlusher();
  std::thread flusher;
  {
    std::lock_guard lock(writeMutex_);
    ioRunning_ = false;
    flusher = std::move(flushThread_);
  }
  // The flusher polls the socket; it must be gone before the descriptor is closed.
  if (flusher.joinable()) flusher.join();
  std::lock_guard lock(writeMutex_);
  writeClosed_ = true;
  fd_.reset();
}

void Connection::flushLoop(int fd) {
  ::pthread_setname_np(::pthread_self(), "xpc.flush");
  while (!stopping_) {
    pollfd fds[2] = {{fd, static_cast<short>(outboxPending_ ? POLLOUT : 0), 0}, {wakeFd_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t drained;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &drained, sizeof(drained));
    }
    if (stopping_) return;
    // A broken socket is the reader's to report; there is nothing left to send on it.
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    if ((fds[0].revents & POLLOUT) && !flushOutbox()) return;
  }
}

bool Connection::flushOutbox() {
  std::lock_guard lock(writeMutex_);
  return flushOutboxLocked();
}

bool Connection::flushOutboxLocked() {
  while (!outbox_.empty()) {
    // Several queued frames leave in one call, as one stream.
    constexpr std::size_t kMaxIov = 64;
    iovec iov[kMaxIov];
    std::size_t count = 0;
    for (auto it = outbox_.begin(); it != outbox_.end() && count < kMaxIov; ++it, ++count) {
      const std::size_t skip = count == 0 ? outboxSent_ : 0;
      iov[count] = {it->data() + skip, it->size() - skip};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    ssize_t n = ::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    auto done = static_cast<std::size_t>(n);
    while (done > 0) {
      const std::size_t left = outbox_.front().size() - outboxSent_;
      if (done < left) {
        outboxSent_ += done;
        break;
      }
      done -= left;
      outbox_.pop_front();
      outboxSent_ = 0;
    }
  }
  outboxSent_ = 0;
  outboxPending_ = false;
  return true;
}

bool Connection::handleFrame(const std::uint8_t* payload, std::size_t size) {
  std::optional<wire::MessageHeader> h = wire::validateMessage(payload, size);
  if (!h) return false;
  if (h->kind == wire::MessageKind::call) {
    deliver(*h, payload, size, std::nullopt);
    return true;
  }
  std::optional<Pending> pending;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(h->sequence);
    if (it == pending_.end()) return lifecycle_ == Lifecycle::invalidated;  // else: an answer nobody asked for
    pending.emplace(std::move(it->second));
    pending_.erase(it);
  }
  deliver(*h, payload, size, std::move(pending));
  return true;
}

void Connection::deliver(const wire::MessageHeader& header, const std::uint8_t* payload, std::size_t size,
                         std::optional<Pending> pending) {
  auto run = [this](const wire::MessageHeader& h, std::optional<Pending>& p) {
    if (!p) {
      dispatchCall(h);
    } else if (h.kind == wire::MessageKind::reply) {
      dispatchReply(*p, h);
    } else if (p->errorHandler && *p->errorHandler) {
      (*p->errorHandler)(linkError(foundation::cocoa::kXpcConnectionInvalid,
                                   "the peer refused the message: " + std::string(h.reason)));
    }
  };
  // Idle queue: run right here and save a thread hand-off.
  if (queue_.tryRunInline([&] { run(header, pending); })) return;
  auto copy = std::make_shared<std::vector<std::uint8_t>>(payload, payload + size);
  wire::MessageHeader moved = rebase(header, payload, copy->data());
  queue_.async(
      [self = shared_from_this(), run, copy, moved, pending = std::move(pending)]() mutable { run(moved, pending); });
}

// ---- Connection: on the queue ------------------------------------------------

void Connection::dispatchCall(const wire::MessageHeader& h) {
  std::shared_ptr<const Interface> interface;
  std::shared_ptr<ExportedObject> object;
  {
    std::lock_guard lock(mutex_);
    if (lifecycle_ == Lifecycle::invalidated) return;
    interface = exportedInterface_;
    object = exportedObject_;
  }
  const char* refusal = nullptr;
  std::optional<std::size_t> method;
  if (!interface || !object) {
    refusal = "nothing is exported on this connection";
  } else if (&object->protocol() != &interface->protocol()) {
    refusal = "the exported object does not implement the exported interface";
  } else if (!(method = interface->protocol().find(h.selector))) {
    refusal = "no such selector in the exported interface";
  } else {
    const MethodSpec& spec = interface->protocol().method(*method);
    if (spec.reply.has_value() != h.expectsReply || spec.arguments.size() != h.argumentCount) {
      refusal = "the arguments do not match the method";
    }
  }
  if (refusal) {
    if (h.expectsReply) sendRefusal(h.sequence, refusal);
    return;
  }
  ReplySender reply;
  if (h.expectsReply) {
    auto token = std::make_shared<ReplySender::Token>();
    token->connection = weak_from_this();
    token->sequence = h.sequence;
    reply = ReplySender(std::move(token));
  }
  ArgumentReader arguments(h.arguments, *interface, *method, false);
  if (!object->invoke(*method, arguments, reply) && reply.token_ && !reply.token_->done.exchange(true)) {
    sendRefusal(h.sequence, "an argument was refused");
  }
}

void Connection::dispatchReply(Pending& p, const wire::MessageHeader& h) {
  const MethodSpec& spec = p.interface->protocol().method(p.method);
  bool accepted = false;
  if (h.argumentCount == spec.reply->size()) {
    ArgumentReader reader(h.arguments, *p.interface, p.method, true);
    accepted = p.onReply(reader);
  }
  if (!accepted && p.errorHandler && *p.errorHandler) {
    (*p.errorHandler)(
        linkError(foundation::cocoa::kXpcConnectionReplyInvalid, "the reply to \"" + spec.selector + "\" was refused"));
  }
}

}  // namespace xpc
