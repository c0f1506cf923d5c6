#include "framework/mount/service/HostSupervisor.h"

#include <chrono>
#include <cstdio>
#include <fstream>

namespace corvane::framework::mount {

namespace {

constexpr int kLastingFailure = 3;

// The host's last line about itself in `file` (its standard error).
std::string lastHostLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.rfind("corvane-vfs-host: ", 0) == 0) last = line.substr(18);
  }
  return last.empty() ? "corvane-vfs-host cannot serve this share; see " + file.string() : last;
}

}  // namespace

foundation::Result<std::unique_ptr<HostSupervisor>> HostSupervisor::start(std::vector<std::string> arguments,
                                                                          std::filesystem::path errorFile) {
  auto process = HostProcess::start(HostProcess::besideThisProgram(), arguments, errorFile, /*echo=*/true);
  if (!process.ok()) return process.error();
  std::unique_ptr<HostSupervisor> supervisor(
      new HostSupervisor(std::move(arguments), std::move(errorFile), std::move(*process)));
  supervisor->watcher_ = std::thread([raw = supervisor.get()] { raw->watch(); });
  return supervisor;
}

HostSupervisor::HostSupervisor(std::vector<std::string> arguments, std::filesystem::path errorFile,
                               std::unique_ptr<HostProcess> process)
    : arguments_(std::move(arguments)), errorFile_(std::move(errorFile)), process_(std::move(process)) {}

HostSupervisor::~HostSupervisor() { stop(); }

void HostSupervisor::stop() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  std::lock_guard guard(mutex_);
  if (process_) process_->stop();
}

pid_t HostSupervisor::pid() const {
  std::lock_guard guard(mutex_);
  return process_ && !process_->hasExited() ? process_->pid() : 0;
}

std::optional<std::string> HostSupervisor::gaveUp() const {
  std::lock_guard guard(mutex_);
  return gaveUp_;
}

int HostSupervisor::restarts() const {
  std::lock_guard guard(mutex_);
  return restarts_;
}

void HostSupervisor::watch() {
  using namespace std::chrono;
  auto pause = milliseconds(500);
  auto startedAt = steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // Reaping has no wake-up of its own here; a fifth of a second is soon enough.
    wake_.wait_for(lock, milliseconds(200), [&] { return stopping_; });
    if (stopping_ || !process_->hasExited()) continue;
    if (process_->exitStatus() == kLastingFailure) {
      gaveUp_ = lastHostLine(errorFile_);
      std::fprintf(stderr, "corvane-fp mount: %s\n", gaveUp_->c_str());
      break;
    }
    if (steady_clock::now() - startedAt > minutes(1)) pause = milliseconds(500);
    std::fprintf(stderr, "corvane-fp mount: corvane-vfs-host stopped; starting it again in %.1f s\n",
                 duration<double>(pause).count());
    if (wake_.wait_for(lock, pause, [&] { return stopping_; })) break;
    pause = std::min(pause * 2, milliseconds(30000));
    auto process = HostProcess::start(HostProcess::besideThisProgram(), arguments_, errorFile_, /*echo=*/true);
    startedAt = steady_clock::now();
    if (!process.ok()) {
      std::fprintf(stderr, "corvane-fp mount: %s\n", process.error().localizedDescription().c_str());
      continue;  // the dead process stays in place, so the next round tries again
    }
    process_ = std::move(*process);
    ++restarts_;
  }
}

}  // namespace corvane::framework::mount
