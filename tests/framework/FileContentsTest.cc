// The rules of a file's local copies, without FUSE: each case is a sequence of
// what the kernel and the upload queue do, and what the file must show after it.
#include "framework/mount/files/FileContents.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace corvane::framework::mount {
namespace {

foundation::Data version(const std::string& tag) { return foundation::Data(tag.begin(), tag.end()); }

std::string bytesOf(int fd) {
  std::string out;
  char buffer[256];
  for (ssize_t n, at = 0; (n = ::pread(fd, buffer, sizeof buffer, at)) > 0; at += n) out.append(buffer, n);
  return out;
}

struct Sealed {
  std::string bytes;
  std::optional<foundation::Data> base;
  bool followsLocal;
};

// Runs steps such as "write 0 J", "trunc 3", "empty", "seal", "land v2",
// "conflict", "open", "release", "unlink" on one file whose peer holds `peer`
// as version "v1".
class Harness final : FileContents::WorkFiles, FileContents::PeerSource, FileContents::Uploads {
 public:
  explicit Harness(const std::string& peer) {
    testing::writeFile(dir_.path() / "peer", peer);
    contents_.opened();
  }
  void step(const std::string& line) {
    std::istringstream in(line);
    std::string verb, text;
    off_t at = 0;
    in >> verb;
    if (verb == "write") {
      in >> at >> text;
      ASSERT_EQ(contents_.change(*this, true, [&](int fd) { return ::pwrite(fd, text.data(), text.size(), at) < 0; }), 0);
    } else if (verb == "trunc" || verb == "empty") {
      if (verb == "trunc") in >> at;
      ASSERT_EQ(contents_.change(*this, at != 0, [&](int fd) { return ::ftruncate(fd, at); }), 0);
    } else if (verb == "seal") {
      ASSERT_EQ(contents_.seal(*this), 0);
    } else if (verb == "land") {
      in >> text;
      contents_.landed(sealed_.size(), version(text));
    } else if (verb == "conflict") {
      contents_.landed(sealed_.size(), std::nullopt);
    } else if (verb == "open") {
      contents_.opened();
    } else if (verb == "release") {
      contents_.released();
    } else if (verb == "unlink") {
      contents_.unlinked();
    } else {
      FAIL() << "no step " << line;
    }
  }
  // What a read shows: the local copy, else the peer's file.
  std::string shows() const {
    auto copy = contents_.readable();
    return copy ? bytesOf(copy->fd.get()) : testing::readFile(dir_.path() / "peer");
  }

  testing::TempDir dir_;
  mutable std::vector<Sealed> sealed_;
  std::function<void()> beforePeerRead_;  // runs as the peer's file is about to be read
  FileContents contents_{*this};

 private:
  int peerContents(FileContents::Peer& out) const override {
    if (beforePeerRead_) beforePeerRead_();
    out.fd = foundation::UniqueFd(::open((dir_.path() / "peer").c_str(), O_RDONLY | O_CLOEXEC));
    out.version = version("v1");
    return 0;
  }
  foundation::Result<std::pair<std::filesystem::path, foundation::UniqueFd>> newWorkFile() override {
    std::string path = (dir_.path() / "work-XXXXXX").string();
    foundation::UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
    return std::make_pair(std::filesystem::path(path), std::move(fd));
  }
  int enqueue(const FileContents::Copy& copy, std::uint64_t& sequence) const override {
    sealed_.push_back({bytesOf(copy.fd.get()), copy.base, copy.followsLocal});
    sequence = sealed_.size();
    return 0;
  }
};

TEST(FileContents, EverySequenceShowsTheNewestBytesAndSealsWhatWasChanged) {
  const struct {
    const char* name;
    std::vector<std::string> steps;
    std::string shows;
    bool dirty;
    std::vector<std::string> sealed;
  } kCases[] = {
      {"a write edits a copy of the peer's file", {"write 0 J"}, "Jello", true, {}},
      {"a close seals, and a later write goes on from what it sealed",
       {"write 0 J", "seal", "write 1 A"}, "JAllo", true, {"Jello"}},
      {"a reopen after close and release keeps the sealed bytes",
       {"write 0 abc", "seal", "release", "open", "release", "open", "write 0 Z", "seal"}, "Zbclo", true,
       {"abclo", "Zbclo"}},
      {"emptying copies nothing and still seals", {"empty", "seal"}, "", true, {""}},
      {"a hole past the end reads as zeros", {"trunc 2", "write 4 Z"}, std::string("he\0\0Z", 5), true, {}},
      {"a seal with nothing changed sends nothing", {"seal", "write 0 J", "seal", "seal"}, "Jello", true, {"Jello"}},
      {"a landed copy is what open handles read", {"write 0 J", "seal", "land v2"}, "Jello", false, {"Jello"}},
      {"a landed copy goes with the last release", {"write 0 J", "seal", "land v2", "release"}, "hello", false,
       {"Jello"}},
      {"a conflict shows the peer's file at once", {"write 0 J", "seal", "conflict"}, "hello", false, {"Jello"}},
      {"an unlinked file seals nothing", {"write 0 J", "unlink", "seal"}, "Jello", false, {}},
  };
  for (const auto& c : kCases) {
    Harness file("hello");
    for (const auto& step : c.steps) file.step(step);
    EXPECT_EQ(file.shows(), c.shows) << c.name;
    EXPECT_EQ(file.contents_.dirty(), c.dirty) << c.name;
    std::vector<std::string> sealed;
    for (const auto& one : file.sealed_) sealed.push_back(one.bytes);
    EXPECT_EQ(sealed, c.sealed) << c.name;
  }
}

TEST(FileContents, AnEditNamesTheVersionItStartedFrom) {
  Harness file("hello");
  for (const char* step : {"write 0 a", "seal", "write 0 b", "seal", "land v2", "write 0 c", "seal"}) file.step(step);
  ASSERT_EQ(file.sealed_.size(), 3u);
  // From the peer's file; then from a sealed copy the peer did not have yet
  // (the queue takes the base of that upload); then from what the peer stored.
  EXPECT_EQ(file.sealed_[0].base, version("v1"));
  EXPECT_FALSE(file.sealed_[0].followsLocal);
  EXPECT_TRUE(file.sealed_[1].followsLocal);
  EXPECT_EQ(file.sealed_[2].base, version("v2"));
  EXPECT_FALSE(file.sealed_[2].followsLocal);
}

// A rename retags the peer's version. One told while the first write was
// still reading the peer's file found no copy to retag: the copy made from
// what was read is retagged as it is put in place.
TEST(FileContents, ARenameWhileACopyIsMadeRetagsTheCopy) {
  Harness file("hello");
  file.beforePeerRead_ = [&] { file.contents_.rebase(version("v1"), version("v1-renamed")); };
  for (const char* step : {"write 0 J", "seal"}) file.step(step);
  ASSERT_EQ(file.sealed_.size(), 1u);
  EXPECT_EQ(file.sealed_[0].base, version("v1-renamed"));
}

}  // namespace
}  // namespace corvane::framework::mount
