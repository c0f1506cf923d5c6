// The lines both ends of a share stream exchange before its first frame, so that
// a far side without the program, with another protocol, or with a shell that
// prints a banner is told apart from a working one with one clear message.
//
//   far side:  "corvane-vfs-host VERSION protocol N"            (first, unasked)
//   this side: "corvane-vfs-host VERSION protocol N peer ID"
//   far side:  "ready" | "refused busy TEXT" | "refused error TEXT"
//
// Each line ends in a line feed and is at most kMaxGreetingLine bytes. "busy"
// is worth trying again later (the share is served to another stream); "error"
// is not (no such folder). After "ready" the stream carries frames only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane::host {

inline constexpr std::uint32_t kShareStreamProtocol = 2;
inline constexpr std::size_t kMaxGreetingLine = 1024;
inline constexpr std::string_view kStreamProgram = "corvane-vfs-host";

struct StreamGreeting {
  std::string program;  // kStreamProgram from a far side we can talk to
  std::string version;
  std::uint32_t protocol = 0;
  std::optional<std::string> peer;  // this side's line only

  friend bool operator==(const StreamGreeting&, const StreamGreeting&) = default;
};

// Without the line feed.
std::string formatGreeting(const StreamGreeting& greeting);
// Absent for anything but a well-formed greeting: known words in order, a
// version of 1 to 32 characters of [0-9A-Za-z.+~-], a protocol of 1 to 9 digits,
// a peer of 1 to 255 printable ASCII characters without spaces.
std::optional<StreamGreeting> parseGreeting(std::string_view line);

struct StreamAnswer {
  enum class Kind { ready, busy, error };
  Kind kind = Kind::ready;
  std::string text;  // why, for a refusal

  friend bool operator==(const StreamAnswer&, const StreamAnswer&) = default;
};

std::string formatAnswer(const StreamAnswer& answer);
std::optional<StreamAnswer> parseAnswer(std::string_view line);

// Reads one line (without its line feed) from `fd`, a byte at a time so that
// nothing after it is taken from the stream. Absent on end of stream, a line
// longer than kMaxGreetingLine, an error, or when `deadline` passes; `why`
// then says which.
std::optional<std::string> readGreetingLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& why);
// Writes `line` and a line feed; false with errno set on failure.
bool writeGreetingLine(int fd, std::string_view line);

}  // namespace corvane::host
