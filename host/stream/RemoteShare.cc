#include "host/stream/RemoteShare.h"

#include <sys/socket.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "host/HostError.h"
#include "host/HostLocations.h"
#include "host/stream/ShareStreamProtocol.h"
#include "host/stream/StreamHandshake.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds(std::chrono::milliseconds d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::shared_ptr<RemoteShare> RemoteShare::create(RemoteShareOptions options) {
  std::shared_ptr<RemoteShare> share(new RemoteShare(std::move(options)));
  share->thread_ = std::thread([raw = share.get()] { raw->run(); });
  return share;
}

RemoteShare::RemoteShare(RemoteShareOptions options)
    : options_(std::move(options)),
      transfers_(TransferBoard::create(options_.transfersFile)),
      relay_(std::make_shared<Relay>()),
      retryDelay_(options_.firstRetryDelay),
      nextAttempt_(Clock::now()) {
  relay_->share = this;
}

RemoteShare::~RemoteShare() {
  {
    std::lock_guard guard(relay_->mutex);  // waits for a handler inside lost() or a ping's answer
    relay_->share = nullptr;
  }
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
    // An attempt waiting for a greeting sees its stream end.
    if (attemptingFd_ >= 0) ::shutdown(attemptingFd_, SHUT_RDWR);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::unique_lock lock(mutex_);
  if (connection_ || process_) dropLocked(lock, "stopping");
  publishLocked(lock);
}

void RemoteShare::report(const std::string& line) const {
  if (options_.report) {
    options_.report(line);
  } else {
    std::fprintf(stderr, "corvane-vfs-host: %s\n", line.c_str());
  }
}

std::shared_ptr<xpc::Connection> RemoteShare::connection() const {
  std::lock_guard guard(mutex_);
  return connectionLost_ ? nullptr : connection_;
}

std::string RemoteShare::whyDown() const {
  std::lock_guard guard(mutex_);
  const std::string why = whyDown_.empty() ? "not connected yet" : whyDown_;
  return options_.address.host + " is not reachable: " + why;
}

foundation::Error RemoteShare::notConnected() const { return vfsError(VfsErrorCode::vfsNotConnected, whyDown()); }

foundation::Error RemoteShare::streamEnded(const std::string& host, const foundation::Error& why) {
  return vfsError(VfsErrorCode::channelClosed, "The stream to " + host + " ended: " + why.localizedDescription());
}

std::optional<std::chrono::microseconds> RemoteShare::lastRoundTrip() const {
  std::lock_guard guard(mutex_);
  return roundTrip_;
}

std::optional<RemoteShare::Failure> RemoteShare::gaveUp() const {
  std::lock_guard guard(mutex_);
  return gaveUp_;
}

std::optional<RemoteShare::Failure> RemoteShare::connect(std::chrono::milliseconds patience) {
  const auto until = Clock::now() + patience;
  auto failure = attempt();
  while (failure && failure->busy && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    failure = attempt();
  }
  std::lock_guard guard(mutex_);
  if (failure) {
    whyDown_ = failure->line;
    nextAttempt_ = Clock::now() + retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, options_.maximumRetryDelay);
  }
  return failure;
}

void RemoteShare::start() {
  {
    std::lock_guard guard(mutex_);
    keepUp_ = true;
  }
  wake_.notify_all();
}

std::optional<RemoteShare::Failure> RemoteShare::attempt() {
  std::lock_guard serial(attemptMutex_);
  const std::string& host = options_.address.host;
  auto started = StreamProcess::start(sshCommandLine(options_.address, options_.sshCommand, options_.remoteProgram),
                                      [this, host](const std::string& line) { report(host + ": " + line); });
  if (!started.ok()) return Failure{started.error().localizedDescription(), true};
  std::unique_ptr<StreamProcess> process = std::move(*started);
  {
    std::lock_guard guard(mutex_);
    if (stopping_) return Failure{"stopping", false};
    attemptingFd_ = process->fd();
  }
  struct Done {
    RemoteShare& share;
    ~Done() {
      std::lock_guard guard(share.mutex_);
      share.attemptingFd_ = -1;
    }
  } done{*this};

  // A shell that prints a banner on login is common; its lines come first.
  const auto deadline = Clock::now() + options_.greetingTimeout;
  std::optional<StreamGreeting> theirs;
  std::string why;
  for (int skipped = 0; !theirs && skipped < 64; ++skipped) {
    auto line = readGreetingLine(process->fd(), deadline, why);
    if (!line) break;
    theirs = parseGreeting(*line);
    if (theirs && (theirs->program != kStreamProgram || theirs->peer)) theirs.reset();
    if (!theirs) report(host + " printed before its greeting: " + line->substr(0, 200));
  }
  if (!theirs) {
    const std::optional<int> status = process->exitStatus(std::chrono::seconds(5));
    // Stopping it also reads what it wrote on its way out, ssh's reason among it.
    process->stop();
    const std::string last = process->lastErrorLine();
    if (status == 127) {
      return Failure{options_.remoteProgram + " was not found on " + host + ": install the corvane package there",
                     true};
    }
    if (status == 255) {
      // ssh's own failures: those of the login and the host's name do not mend by waiting.
      const bool lasting = contains(last, "Permission denied") || contains(last, "Host key verification failed") ||
                           contains(last, "Could not resolve hostname") || contains(last, "Bad configuration");
      return Failure{"cannot reach " + host + ": " + (last.empty() ? "ssh failed" : last), lasting};
    }
    return Failure{
        host + " did not answer as " + options_.remoteProgram + " (" + why + (last.empty() ? "" : "; " + last) + ")",
        status.has_value()};
  }
  if (theirs->protocol != kShareStreamProtocol) {
    return Failure{host + " runs " + std::string(kStreamProgram) + " " + theirs->version + " (protocol " +
                       std::to_string(theirs->protocol) + "); this needs protocol " +
                       std::to_string(kShareStreamProtocol),
                   true};
  }
  const StreamGreeting ours{std::string(kStreamProgram), options_.version, kShareStreamProtocol, options_.peerId};
  if (!writeGreetingLine(process->fd(), formatGreeting(ours))) {
    return Failure{"cannot reach " + host + ": the stream ended while greeting", false};
  }
  auto line = readGreetingLine(process->fd(), deadline, why);
  std::optional<StreamAnswer> answer = line ? parseAnswer(*line) : std::nullopt;
  if (!answer) {
    const std::string last = process->lastErrorLine();
    return Failure{host + " did not accept the stream (" + (line ? "\"" + line->substr(0, 200) + "\"" : why) +
                       (last.empty() ? "" : "; " + last) + ")",
                   false};
  }
  if (answer->kind != StreamAnswer::Kind::ready) {
    return Failure{host + ": " + answer->text, answer->kind == StreamAnswer::Kind::error,
                   answer->kind == StreamAnswer::Kind::busy};
  }

  auto connection = xpc::Connection::withConnectedSocket(process->takeStream());
  connection->setRemoteObjectInterface(makeShareStreamInterface());
  connection->setInvalidationHandler([relay = relay_, raw = connection.get()] {
    std::lock_guard guard(relay->mutex);
    if (relay->share) relay->share->lost(raw);
  });
  connection->resume();
  {
    std::unique_lock lock(mutex_);
    if (stopping_) {
      lock.unlock();
      connection->invalidate();
      return Failure{"stopping", false};
    }
    connection_ = std::move(connection);
    process_ = std::move(process);
    connectionLost_ = false;
    whyDown_.clear();
    retryDelay_ = options_.firstRetryDelay;
    pingSentAt_.reset();
    nextPing_ = Clock::now();  // the first round trip at once, for status
  }
  wake_.notify_all();
  report("connected to " + options_.address.text() + " (" + std::string(kStreamProgram) + " " + theirs->version + ")");
  return std::nullopt;
}

void RemoteShare::lost(const xpc::Connection* connection) {
  {
    std::lock_guard guard(mutex_);
    if (connection_.get() != connection) return;
    connectionLost_ = true;
  }
  wake_.notify_all();
}

void RemoteShare::dropLocked(std::unique_lock<std::mutex>& lock, const std::string& why) {
  auto connection = std::move(connection_);
  auto process = std::move(process_);
  connectionLost_ = false;
  pingSentAt_.reset();
  whyDown_ = why;
  lock.unlock();
  if (connection) connection->invalidate();
  std::string last;
  if (process) {
    process->stop();
    last = process->lastErrorLine();
  }
  lock.lock();
  if (!last.empty() && whyDown_ == why) whyDown_ = why + " (" + last + ")";
}

void RemoteShare::ping() {
  std::shared_ptr<xpc::Connection> connection;
  std::uint64_t number = 0;
  Clock::time_point sentAt;
  {
    std::lock_guard guard(mutex_);
    connection = connection_;
    number = ++pingNumber_;
    sentAt = Clock::now();
    pingSentAt_ = sentAt;
  }
  if (!connection) return;
  auto proxy = connection->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(nullptr);
  proxy->ping(options_.peerId, 0, [relay = relay_, number, sentAt](VfsXpcProtocol::Error) {
    std::lock_guard guard(relay->mutex);
    RemoteShare* share = relay->share;
    if (!share) return;
    std::lock_guard lock(share->mutex_);
    if (share->pingNumber_ != number) return;
    const auto now = Clock::now();
    share->roundTrip_ = std::chrono::duration_cast<std::chrono::microseconds>(now - sentAt);
    share->pingSentAt_.reset();
    share->nextPing_ = now + share->options_.keepAliveInterval;
    share->wake_.notify_all();
  });
}

void RemoteShare::publishLocked(std::unique_lock<std::mutex>& lock) {
  if (!options_.linkFile) return;
  const bool up = connection_ && !connectionLost_;
  nlohmann::json state{{"address", options_.address.text()}, {"up", up}};
  state["roundTripMs"] = up && roundTrip_ ? nlohmann::json(roundTrip_->count() / 1000.0) : nlohmann::json(nullptr);
  state["why"] = up ? "" : whyDown_.empty() ? "not connected yet" : whyDown_;
  std::string text = state.dump();
  if (text == published_) return;
  published_ = text;
  state["atMs"] = foundation::currentMilliseconds();
  text = state.dump() + "\n";
  lock.unlock();
  (void)foundation::FileManager::writeAtomically(*options_.linkFile, foundation::Data(text.begin(), text.end()));
  lock.lock();
}

void RemoteShare::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    auto say = [&](const std::string& line) {
      lock.unlock();
      report(line);
      lock.lock();
    };
    if (connection_ && connectionLost_) {
      dropLocked(lock, "the stream ended");
      nextAttempt_ = Clock::now() + retryDelay_;
      say("the stream to " + options_.address.host + " ended; trying again in " + seconds(retryDelay_));
      continue;
    }
    if (connection_ && pingSentAt_ && now - *pingSentAt_ >= options_.keepAliveTimeout) {
      const std::string why = "no answer to a ping in " + seconds(options_.keepAliveTimeout);
      dropLocked(lock, why);
      nextAttempt_ = Clock::now() + retryDelay_;
      say("the stream to " + options_.address.host + " stalled (" + why + "); trying again in " + seconds(retryDelay_));
      continue;
    }
    if (connection_ && !pingSentAt_ && now >= nextPing_) {
      lock.unlock();
      ping();
      lock.lock();
      continue;
    }
    if (!connection_ && keepUp_ && !gaveUp_ && now >= nextAttempt_) {
      lock.unlock();
      auto failure = attempt();
      lock.lock();
      if (failure && !stopping_) {
        whyDown_ = failure->line;
        if (failure->lasting) {
          gaveUp_ = failure;
          say(failure->line);
        } else {
          const auto pause = retryDelay_;
          nextAttempt_ = Clock::now() + pause;
          retryDelay_ = std::min(retryDelay_ * 2, options_.maximumRetryDelay);
          say(failure->line + "; trying again in " + seconds(pause));
        }
      }
      continue;
    }
    publishLocked(lock);
    std::optional<Clock::time_point> due;
    if (connection_) {
      due = pingSentAt_ ? *pingSentAt_ + options_.keepAliveTimeout : nextPing_;
    } else if (keepUp_ && !gaveUp_) {
      due = nextAttempt_;
    }
    if (due) {
      wake_.wait_until(lock, *due);
    } else {
      wake_.wait(lock);
    }
  }
}

}  // namespace corvane::host
