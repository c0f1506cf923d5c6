#include "host/stream/StreamHandshake.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace corvane::host {

namespace {

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t space = line.find(' ', start);
    const std::size_t end = space == std::string_view::npos ? line.size() : space;
    out.push_back(line.substr(start, end - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return out;
}

bool isVersion(std::string_view s) {
  if (s.empty() || s.size() > 32) return false;
  for (char c : s) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == '+' || c == '~' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::uint32_t> number(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

bool isPeer(std::string_view s) {
  if (s.empty() || s.size() > 255) return false;
  for (char c : s) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

bool isText(std::string_view s) {
  for (char c : s) {
    if (c == '\n' || c == '\r' || c == '\0') return false;
  }
  return true;
}

}  // namespace

std::string formatGreeting(const StreamGreeting& g) {
  std::string line = g.program + " " + g.version + " protocol " + std::to_string(g.protocol);
  if (g.peer) line += " peer " + *g.peer;
  return line;
}

std::optional<StreamGreeting> parseGreeting(std::string_view line) {
  if (line.size() > kMaxGreetingLine) return std::nullopt;
  const auto w = words(line);
  if ((w.size() != 4 && w.size() != 6) || w[0].empty() || w[2] != "protocol") return std::nullopt;
  for (char c : w[0]) {
    if (!((c >= 'a' && c <= 'z') || c == '-')) return std::nullopt;
  }
  auto protocol = number(w[3]);
  if (!isVersion(w[1]) || !protocol) return std::nullopt;
  StreamGreeting g{std::string(w[0]), std::string(w[1]), *protocol, std::nullopt};
  if (w.size() == 6) {
    if (w[4] != "peer" || !isPeer(w[5])) return std::nullopt;
    g.peer = std::string(w[5]);
  }
  return g;
}

std::string formatAnswer(const StreamAnswer& a) {
  switch (a.kind) {
    case StreamAnswer::Kind::ready:
      return "ready";
    case StreamAnswer::Kind::busy:
      return "refused busy " + a.text;
    case StreamAnswer::Kind::error:
      break;
  }
  return "refused error " + a.text;
}

std::optional<StreamAnswer> parseAnswer(std::string_view line) {
  if (line.size() > kMaxGreetingLine || !isText(line)) return std::nullopt;
  if (line == "ready") return StreamAnswer{};
  for (auto [prefix, kind] : {std::pair{std::string_view("refused busy "), StreamAnswer::Kind::busy},
                              std::pair{std::string_view("refused error "), StreamAnswer::Kind::error}}) {
    if (line.substr(0, prefix.size()) == prefix && line.size() > prefix.size()) {
      return StreamAnswer{kind, std::string(line.substr(prefix.size()))};
    }
  }
  return std::nullopt;
}

std::optional<std::string> readGreetingLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& why) {
  std::string line;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      why = "no answer in time";
      return std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) {
      why = std::strerror(errno);
      return std::nullopt;
    }
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      why = std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) {
      why = "the stream ended";
      return std::nullopt;
    }
    if (c == '\n') return line;
    if (line.size() == kMaxGreetingLine) {
      why = "a line longer than " + std::to_string(kMaxGreetingLine) + " bytes";
      return std::nullopt;
    }
    line.push_back(c);
  }
}

bool writeGreetingLine(int fd, std::string_view line) {
  std::string out(line);
  out.push_back('\n');
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace corvane::host
