#include "framework/ScriptSession.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "host/HostVfsService.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/CorvaneFpLogFile.h"

namespace corvane::framework {

// Keeps every message for the "syslog" op and passes it on to the sink it
// replaced, so the system log sees the run as it would see the extension.
class ScriptSession::SystemLogCapture final : public oslog::Sink {
 public:
  explicit SystemLogCapture(std::shared_ptr<oslog::Sink> next) : next_(std::move(next)) {}

  void write(oslog::Type type, std::string_view message) override {
    {
      std::lock_guard guard(mutex_);
      lines_.emplace_back(message);
    }
    next_->write(type, message);
  }

  std::vector<std::string> take() {
    std::lock_guard guard(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  const std::shared_ptr<oslog::Sink> next_;
  std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

namespace {

foundation::Error setupError(const std::string& what) {
  return foundation::Error("corvane.script", 1, foundation::UserInfo{{foundation::kLocalizedDescriptionKey, what}});
}

std::optional<std::filesystem::path> makeTemporaryFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-script-XXXXXX";
  if (!::mkdtemp(pattern.data())) return std::nullopt;
  return std::filesystem::path(pattern);
}

std::uintmax_t sizeOf(const std::optional<std::filesystem::path>& file) {
  std::error_code error;
  if (!file) return 0;
  auto size = std::filesystem::file_size(*file, error);
  return error ? 0 : size;
}

}  // namespace

ScriptSession::ScriptSession(ScriptSessionOptions options) : options_(std::move(options)) {}

foundation::Result<std::unique_ptr<ScriptSession>> ScriptSession::open(ScriptSessionOptions options) {
  std::unique_ptr<ScriptSession> session(new ScriptSession(std::move(options)));
  const auto& opts = session->options_;

  session->eventLogOffset_ = sizeOf(session->eventLogFile());
  session->systemLog_ = std::make_shared<SystemLogCapture>(oslog::currentSink());
  session->previousSink_ = oslog::setSink(session->systemLog_);

  if (opts.share) {
    session->share_ = *opts.share;
  } else if (opts.inProcessHost) {
    auto folder = makeTemporaryFolder();
    if (!folder) return setupError("cannot make a temporary folder to serve");
    session->share_ = *folder;
    session->removeShare_ = true;
  }

  auto added = session->domains_.addDomain({opts.domainId, opts.displayName});
  if (!added.ok())
    return setupError("cannot add domain \"" + opts.domainId + "\": " + added.error().localizedDescription());
  session->extension_ = *added;

  if (opts.inProcessHost) {
    host::HostVfsServiceOptions serviceOptions;
    serviceOptions.peerId = opts.domainId;
    serviceOptions.shareFolder = session->share_;
    auto service = host::HostVfsService::open(std::move(serviceOptions));
    if (!service.ok()) {
      return setupError("cannot serve " + session->share_.string() + " as peer \"" + opts.domainId +
                        "\": " + service.error().localizedDescription());
    }
    host::HostLinkOptions linkOptions;
    linkOptions.attemptTimeout = kTimeout;
    linkOptions.report = [](const std::string& line) { std::fprintf(stderr, "corvane-fp: host: %s\n", line.c_str()); };
    session->hostLink_ = host::HostLink::create(std::shared_ptr(std::move(*service)), std::move(linkOptions));
  }
  return session;
}

ScriptSession::~ScriptSession() {
  hostLink_.reset();  // closes the link, finishes the host's file work, saves its state
  extension_.reset();
  domains_.removeDomain(options_.domainId);
  CorvaneFpLog::drain();
  if (systemLog_) oslog::setSink(previousSink_);
  if (removeShare_) {
    std::error_code ignored;
    std::filesystem::remove_all(share_, ignored);
  }
}

bool ScriptSession::linkReady() { return domains_.linkReady(options_.domainId); }

bool ScriptSession::waitForLink(bool ready) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (linkReady() != ready) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::optional<std::filesystem::path> ScriptSession::eventLogFile() const {
  auto folder = CorvaneFpLog::logsDirectory();
  if (!folder) return std::nullopt;
  return *folder / CorvaneFpLogFile::kFileName;
}

std::vector<std::string> ScriptSession::takeEventLogLines() {
  CorvaneFpLog::drain();
  std::vector<std::string> lines;
  auto file = eventLogFile();
  if (!file) return lines;
  std::ifstream in(*file, std::ios::binary);
  if (!in) return lines;
  // A file shorter than what was read before was replaced: read it from the top.
  if (sizeOf(file) < eventLogOffset_) eventLogOffset_ = 0;
  in.seekg(static_cast<std::streamoff>(eventLogOffset_));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Only whole lines count; a partial one is read next time.
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.emplace_back(text, start, end - start);
  }
  eventLogOffset_ += start;
  return lines;
}

std::vector<std::string> ScriptSession::takeSystemLogLines() { return systemLog_->take(); }

}  // namespace corvane::framework
