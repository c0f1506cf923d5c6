#include "framework/SampleShare.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserFolders.h"

namespace corvane::framework {
namespace {

struct SampleFile {
  const char* path;
  const char* contents;
};

constexpr SampleFile kFiles[] = {
    {kSampleWelcomeFile,
     "Welcome to the Corvane sample share.\n"
     "corvane-vfs-host serves this folder to the File Provider extension as peer \"sample\".\n"},
    {"Documents/notes.md",
     "# Notes\n\n- the extension lists, fetches, creates, renames and deletes through the host\n"},
    {"Documents/todo.txt", "try corvane-fp script\n"},
    {"Photos/README.txt", "Photos from the paired device would appear here.\n"},
};

foundation::Error sampleError(const std::string& what, const std::error_code& error) {
  return foundation::Error(foundation::kPosixErrorDomain, error.value(),
                           foundation::UserInfo{{foundation::kLocalizedDescriptionKey, what + ": " + error.message()}});
}

}  // namespace

std::optional<std::filesystem::path> sampleShareFolder() {
  auto data = foundation::UserFolders::base(foundation::UserFolders::Kind::data);
  if (!data) return std::nullopt;
  return *data / "corvane" / "sample-share";
}

foundation::Status ensureSampleShare(const std::filesystem::path& folder) {
  std::error_code error;
  if (std::filesystem::exists(folder, error)) return foundation::Ok{};
  auto staging = folder;
  staging += ".new-" + std::to_string(::getpid());
  std::filesystem::remove_all(staging, error);
  for (const SampleFile& file : kFiles) {
    const auto path = staging / file.path;
    if (int err = foundation::makePrivateFolders(path.parent_path())) {
      return sampleError("cannot make " + path.parent_path().string(), std::error_code(err, std::generic_category()));
    }
    std::ofstream out(path, std::ios::binary);
    out << file.contents;
    if (!out.flush()) return sampleError("cannot write " + path.string(), std::make_error_code(std::errc::io_error));
  }
  std::filesystem::rename(staging, folder, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove_all(staging, ignored);
    // Another run made it first: use theirs.
    if (std::filesystem::exists(folder, ignored)) return foundation::Ok{};
    return sampleError("cannot move the sample share into " + folder.string(), error);
  }
  return foundation::Ok{};
}

}  // namespace corvane::framework
