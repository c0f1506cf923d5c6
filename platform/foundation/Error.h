// foundation::Error stands in for NSError: a domain, an integer code and optional
// user info whose values are text, integers or nested errors. Errors are plain
// values; they are copied freely and never thrown across the framework boundary.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace foundation {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kFileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

// Cocoa error codes that the file operations report, as Foundation numbers them.
namespace cocoa {
inline constexpr std::int64_t kFileNoSuchFile = 4;
inline constexpr std::int64_t kFileReadUnknown = 256;
inline constexpr std::int64_t kFileReadNoPermission = 257;
inline constexpr std::int64_t kFileReadNoSuchFile = 260;
inline constexpr std::int64_t kFileWriteUnknown = 512;
inline constexpr std::int64_t kFileWriteNoPermission = 513;
inline constexpr std::int64_t kFileWriteFileExists = 516;
inline constexpr std::int64_t kFileWriteOutOfSpace = 640;
inline constexpr std::int64_t kXpcConnectionInterrupted = 4097;
inline constexpr std::int64_t kXpcConnectionInvalid = 4099;
inline constexpr std::int64_t kXpcConnectionReplyInvalid = 4101;
}  // namespace cocoa

class Error;

// A user-info value: text, a signed integer, or a nested error (shared, immutable).
using UserInfoValue = std::variant<std::string, std::int64_t, std::shared_ptr<const Error>>;
using UserInfo = std::map<std::string, UserInfoValue>;

class Error {
 public:
  Error(std::string domain, std::int64_t code, std::optional<UserInfo> userInfo = std::nullopt);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  // Absent is distinct from an empty map, as it is for NSError.
  const std::optional<UserInfo>& userInfo() const { return userInfo_; }

  // The text under "NSLocalizedDescription", else Foundation's generic sentence
  // "The operation couldn’t be completed. (DOMAIN error CODE.)".
  std::string localizedDescription() const;

  // Typed reads of one user-info key; absent when the key is missing or holds
  // a value of another kind.
  const std::string* stringForKey(const std::string& key) const;
  std::optional<std::int64_t> integerForKey(const std::string& key) const;
  const Error* errorForKey(const std::string& key) const;
  const Error* underlyingError() const { return errorForKey(kUnderlyingErrorKey); }

  friend bool operator==(const Error& a, const Error& b);

 private:
  const UserInfoValue* find(const std::string& key) const;

  std::string domain_;
  std::int64_t code_;
  std::optional<UserInfo> userInfo_;
};

// Wraps an error so that it can sit in a user-info map.
inline UserInfoValue nested(Error error) { return std::make_shared<const Error>(std::move(error)); }

// An Error in the POSIX domain for errno value `err`.
Error posixError(int err);

}  // namespace foundation
