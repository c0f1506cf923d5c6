// Test helpers: a temporary folder removed at the end of the test, and a scoped
// environment variable that restores its old value.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ScopedEnv {
 public:
  // Sets `name` to `value`, or unsets it when `value` is absent.
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Writes `bytes` to `path`, creating parent folders.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

}  // namespace corvane::testing
