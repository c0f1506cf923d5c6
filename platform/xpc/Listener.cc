#include "platform/xpc/Listener.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/foundation/JoinOrDetach.h"

namespace xpc {

struct Listener::Shared {
  socket::UniqueFd listenFd;
  socket::UniqueFd wakeFd;
  std::atomic<bool> stopping{false};
};

std::shared_ptr<Listener> Listener::anonymous() {
  std::shared_ptr<Listener> l(new Listener());
  std::filesystem::path base = socket::runtimeDirectory();
  if (foundation::Status s = socket::ensurePrivateDirectory(base); !s) {
    l->error_ = s.error();
    return l;
  }
  std::string pattern = (base / "l-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {  // mode 0700
    l->error_ = foundation::posixError(errno);
    return l;
  }
  l->ownedFolder_ = pattern;
  l->bindAt(l->ownedFolder_ / "s");
  return l;
}

std::shared_ptr<Listener> Listener::atPath(const std::filesystem::path& socketPath) {
  std::shared_ptr<Listener> l(new Listener());
  if (foundation::Status s = socket::ensurePrivateDirectory(socketPath.parent_path()); !s) {
    l->error_ = s.error();
    return l;
  }
  ::unlink(socketPath.c_str());
  l->bindAt(socketPath);
  return l;
}

void Listener::bindAt(const std::filesystem::path& socketPath) {
  const std::string path = socketPath.string();
  if (!socket::fitsSocketAddress(path)) {
    error_ = foundation::posixError(ENAMETOOLONG);
    return;
  }
  auto shared = std::make_shared<Shared>();
  shared->listenFd = socket::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  shared->wakeFd = socket::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!shared->listenFd.valid() || !shared->wakeFd.valid()) {
    error_ = foundation::posixError(errno);
    return;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::bind(shared->listenFd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(shared->listenFd.get(), 64) != 0) {
    error_ = foundation::posixError(errno);
    return;
  }
  socketPath_ = socketPath;
  shared_ = std::move(shared);
}

Listener::~Listener() {
  invalidate();
  std::thread t;
  {
    std::lock_guard lock(mutex_);
    t = std::move(acceptThread_);
  }
  foundation::joinOrDetach(t);
  std::error_code ignored;
  if (!socketPath_.empty()) std::filesystem::remove(socketPath_, ignored);
  if (!ownedFolder_.empty()) std::filesystem::remove(ownedFolder_, ignored);
}

ListenerEndpoint Listener::endpoint() const {
  if (socketPath_.empty()) return ListenerEndpoint();
  return ListenerEndpoint::fromText(socketPath_.string()).value_or(ListenerEndpoint());
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void Listener::resume() {
  std::lock_guard lock(mutex_);
  if (resumed_ || !shared_ || shared_->stopping) return;
  resumed_ = true;
  acceptThread_ = std::thread(acceptLoop, this, shared_);
}

void Listener::invalidate() {
  if (!shared_) return;
  shared_->stopping = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(shared_->wakeFd.get(), &one, sizeof(one));
}

void Listener::acceptLoop(Listener* listener, std::shared_ptr<Shared> shared) {
  ::pthread_setname_np(::pthread_self(), "xpc.listener");
  const uid_t self = ::geteuid();
  while (!shared->stopping) {
    pollfd fds[2] = {{shared->listenFd.get(), POLLIN, 0}, {shared->wakeFd.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (shared->stopping) return;
    if (!(fds[0].revents & POLLIN)) continue;
    // Blocking, like the client's end (see socket::connectTo).
    socket::UniqueFd fd(::accept4(shared->listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) continue;
    std::optional<socket::PeerCredentials> peer = socket::peerCredentials(fd.get());
    // Another user's process never gets a connection object, let alone a delegate call.
    if (!peer || peer->uid != self) continue;
    std::shared_ptr<ListenerDelegate> delegate;
    {
      std::lock_guard lock(listener->mutex_);
      delegate = listener->delegate_.lock();
    }
    std::shared_ptr<Connection> connection = Connection::accepted(std::move(fd), *peer);
    if (!delegate || !delegate->shouldAcceptNewConnection(*listener, connection)) connection->invalidate();
  }
}

}  // namespace xpc
