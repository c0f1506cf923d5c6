// RemoteShare: this side's link to a share on another machine. It starts the
// stream (ssh running `corvane-vfs-host --serve-stdio DIR` there), checks the
// greetings, and keeps one xpc::Connection over it for ShareStreamProtocol.
//
// Keeping it up: while started, a lost or failed stream is tried again after a
// pause that starts at firstRetryDelay and doubles up to maximumRetryDelay,
// starting over once a stream has been up. A ping goes out every
// keepAliveInterval; one not answered within keepAliveTimeout ends the stream
// (a network that stalls, a far machine that sleeps), so a stall is found in
// seconds and every call in flight fails at once instead of waiting on it.
//
// Some failures cannot mend by trying again (no such program there, another
// protocol, no such folder, ssh refused the login): connect() says so, and a
// started link that meets one stops trying and reports it.
//
// Threading: thread-safe. The link's own thread runs attempts and pings; the
// connection's handlers only wake it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "host/stream/RemoteAddress.h"
#include "host/stream/StreamProcess.h"
#include "host/stream/TransferBoard.h"
#include "platform/xpc/Connection.h"

namespace corvane::host {

struct RemoteShareOptions {
  RemoteAddress address;
  std::string peerId;  // names the share's state on the far side
  std::string sshCommand = "ssh";
  std::string remoteProgram = "corvane-vfs-host";
  std::string version;  // this program's
  std::chrono::milliseconds firstRetryDelay{500};
  std::chrono::milliseconds maximumRetryDelay{30000};
  std::chrono::milliseconds keepAliveInterval{5000};
  std::chrono::milliseconds keepAliveTimeout{10000};
  // How long ssh may take to log in and the far side to greet.
  std::chrono::milliseconds greetingTimeout{60000};
  // Receives each event line (no line feed), never with the link's lock held.
  std::function<void(const std::string& line)> report;
  // Where the link's state is kept for `corvane-fp status` and `doctor`
  // (remoteLinkFile()); none when absent.
  std::optional<std::filesystem::path> linkFile;
  // Where the transfers under way are listed (transfersFile()); none when absent.
  std::optional<std::filesystem::path> transfersFile;
};

class RemoteShare {
 public:
  struct Failure {
    std::string line;
    bool lasting = false;  // trying again cannot help
    bool busy = false;     // the far side serves the share to another stream right now
  };

  static std::shared_ptr<RemoteShare> create(RemoteShareOptions options);
  // Stops trying, ends the stream and its process.
  ~RemoteShare();
  RemoteShare(const RemoteShare&) = delete;
  RemoteShare& operator=(const RemoteShare&) = delete;

  const RemoteShareOptions& options() const { return options_; }

  // Connects now, on the calling thread (when no stream is up). While the far
  // side is busy (a stream that just ended still saving its state there), it
  // tries again for up to `patience`.
  std::optional<Failure> connect(std::chrono::milliseconds patience = std::chrono::seconds(10));
  // Keeps the stream up from now on, on the link's thread. Returns at once.
  void start();

  // The stream's connection, or null while there is none.
  std::shared_ptr<xpc::Connection> connection() const;
  // A proxy of protocol P on the stream, whose failed calls each get `fail`
  // with -4 "channel_closed"; null while there is no stream.
  template <typename P>
  std::shared_ptr<P> proxy(std::function<void(foundation::Error)> fail) const {
    auto current = connection();
    if (!current) return nullptr;
    return current->template remoteObjectProxyWithErrorHandler<P>(
        [fail = std::move(fail), host = options_.address.host](const foundation::Error& e) {
          fail(streamEnded(host, e));
        });
  }
  // Why there is no stream, as one line ("box is not reachable: ...").
  std::string whyDown() const;
  // What a call gets while there is no stream: -11 "vfs_not_connected" with whyDown().
  foundation::Error notConnected() const;
  // The last ping's round trip.
  std::optional<std::chrono::microseconds> lastRoundTrip() const;
  // The transfers under way over the stream (RemoteTransfers adds to it).
  TransferBoard& transfers() const { return *transfers_; }
  // Set once a started link met a lasting failure and stopped trying.
  std::optional<Failure> gaveUp() const;

 private:
  explicit RemoteShare(RemoteShareOptions options);
  static foundation::Error streamEnded(const std::string& host, const foundation::Error& why);
  std::optional<Failure> attempt();
  void run();
  void report(const std::string& line) const;
  // On the connection's queue: `connection` ended.
  void lost(const xpc::Connection* connection);
  // Ends the current stream; needs mutex_ (released while the process ends).
  void dropLocked(std::unique_lock<std::mutex>& lock, const std::string& why);
  void ping();
  // Writes the link file when what it would say changed; needs mutex_ (released
  // while writing).
  void publishLocked(std::unique_lock<std::mutex>& lock);

  const RemoteShareOptions options_;
  const std::shared_ptr<TransferBoard> transfers_;

  // What the connection's handlers hold instead of the share.
  struct Relay {
    std::mutex mutex;
    RemoteShare* share = nullptr;
  };
  const std::shared_ptr<Relay> relay_;

  std::mutex attemptMutex_;  // one attempt at a time

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<xpc::Connection> connection_;
  std::unique_ptr<StreamProcess> process_;
  bool connectionLost_ = false;
  int attemptingFd_ = -1;  // the stream of an attempt in progress
  std::string whyDown_;
  std::optional<Failure> gaveUp_;
  bool keepUp_ = false;
  bool stopping_ = false;
  std::chrono::milliseconds retryDelay_;
  std::chrono::steady_clock::time_point nextAttempt_;
  std::optional<std::chrono::steady_clock::time_point> pingSentAt_;
  std::uint64_t pingNumber_ = 0;
  std::chrono::steady_clock::time_point nextPing_;
  std::optional<std::chrono::microseconds> roundTrip_;
  std::string published_;  // what the link file says
  std::thread thread_;
};

}  // namespace corvane::host
