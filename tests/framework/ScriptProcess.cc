#include "tests/framework/ScriptProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane::testing {

ScriptProcess::ScriptProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& errorFile) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<std::string> words{program, "script"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

ScriptProcess::~ScriptProcess() {
  finish();
  if (output_ >= 0) ::close(output_);
}

std::optional<std::string> ScriptProcess::readLine() {
  for (;;) {
    if (auto end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    pollfd ready{output_, POLLIN, 0};
    if (output_ < 0 || ::poll(&ready, 1, 15000) <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

nlohmann::json ScriptProcess::ask(const std::string& line) {
  std::string text = line + "\n";
  if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return nullptr;
  auto reply = readLine();
  return reply ? nlohmann::json::parse(*reply, nullptr, false) : nlohmann::json();
}

std::pair<std::vector<nlohmann::json>, int> ScriptProcess::finish() {
  if (pid_ <= 0) return {{}, status_};
  if (input_ >= 0) ::close(input_);
  input_ = -1;
  std::vector<nlohmann::json> rest;
  while (auto line = readLine()) rest.push_back(nlohmann::json::parse(*line, nullptr, false));
  int status = 0;
  if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) status_ = WEXITSTATUS(status);
  pid_ = -1;
  return {rest, status_};
}

}  // namespace corvane::testing
