// Shared set-up for the host suites: a share, a state folder and a cache folder in
// one temporary folder, a way to (re)open the service over them, and checks for
// host-domain errors.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "host/HostError.h"
#include "host/HostVfsService.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

namespace corvane::host::testing {

namespace fs = std::filesystem;

// Expects `error` to be the host-domain error `code` with its code text.
inline void expectVfsError(const foundation::Error& error, VfsErrorCode code) {
  EXPECT_EQ(error.domain(), kVfsErrorDomain);
  EXPECT_EQ(error.code(), static_cast<std::int64_t>(code));
  const std::string* text = error.stringForKey(kVfsErrorCodeKey);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*text, vfsErrorCodeText(static_cast<std::int64_t>(code)));
  EXPECT_NE(error.stringForKey(foundation::kLocalizedDescriptionKey), nullptr);
}

template <typename T>
void expectVfsError(const foundation::Result<T>& result, VfsErrorCode code) {
  ASSERT_FALSE(result.ok()) << "expected error " << static_cast<std::int64_t>(code);
  expectVfsError(result.error(), code);
}

using corvane::testing::eventually;  // inotify is asynchronous

class HostFixture : public ::testing::Test {
 protected:
  HostFixture() {
    fs::create_directories(share());
    fs::create_directories(outside());
  }

  fs::path temp() const { return temp_.path(); }
  fs::path share() const { return temp_.path() / "share"; }
  fs::path outside() const { return temp_.path() / "outside"; }
  fs::path stateFolder() const { return temp_.path() / "state"; }
  fs::path cacheFolder() const { return temp_.path() / "cache"; }

  HostVfsServiceOptions options() const {
    HostVfsServiceOptions o;
    o.peerId = "peer-1";
    o.shareFolder = share();
    o.stateFolder = stateFolder();
    o.cacheFolder = cacheFolder();
    return o;
  }

  std::unique_ptr<HostVfsService> open(HostVfsServiceOptions o) {
    auto service = HostVfsService::open(std::move(o));
    EXPECT_TRUE(service.ok()) << (service.ok() ? "" : service.error().localizedDescription());
    return service.ok() ? std::move(*service) : nullptr;
  }
  std::unique_ptr<HostVfsService> open() { return open(options()); }

  // A staged file outside the share, as the extension hands over for uploads.
  fs::path stage(const std::string& bytes) {
    fs::path path = temp_.path() / ("staged-" + std::to_string(staged_++));
    corvane::testing::writeFile(path, bytes);
    return path;
  }

 private:
  corvane::testing::TempDir temp_;
  int staged_ = 0;
};

}  // namespace corvane::host::testing
