// The error helpers: the host taxonomy, the one mapping from host-link failures to
// File Provider errors, and the constructors' exact user info.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "extension/FileProviderErrors.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Error.h"

namespace corvane {
namespace {

using foundation::Error;
using foundation::UserInfo;
namespace fp = fileprovider::ErrorCode;

TEST(FileProviderErrors, TaxonomyNamesEveryHostCode) {
  const char* const kNames[] = {
      "invalid_argument", "authentication_failed", "connection_failed", "channel_closed", "timeout",
      "protocol_error", "flow_control", "permission_denied", "not_found", "already_exists",
      "vfs_not_connected", "io", "sync_anchor_expired", "cancelled", "backpressure",
      "service_unavailable", "conflict", "invalid_transition", "blocked", "stale_epoch",
      "pending_transfer_conflict", "transfer_skipped", "no_space", "directory_not_empty",
      "resource_limit_exceeded", "sync_path_overlaps_mount"};
  for (std::int64_t code = -1; code >= -26; --code) {
    EXPECT_EQ(taxonomyCode(code), kNames[-code - 1]) << code;
  }
  for (std::int64_t outside : {std::int64_t{0}, std::int64_t{7}, std::int64_t{-27},
                               std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(taxonomyCode(outside), "unknown") << outside;
  }
}

Error hostError(std::int64_t code, std::optional<UserInfo> info = std::nullopt) {
  return Error(kVfsXpcErrorDomain, code, std::move(info));
}

UserInfo named(const char* codeText) {
  return UserInfo{{"corvane.error.code", std::string(codeText)},
                  {foundation::kLocalizedDescriptionKey, std::string("host says ") + codeText}};
}

// Every row of the mapping, reached by number and by name, plus the precedence rules.
TEST(FileProviderErrors, MapXpcErrorFollowsTheMappingTable) {
  struct Case {
    const char* name;
    Error source;
    std::int64_t expected;
  };
  const Case kCases[] = {
      {"permission_denied by number", hostError(-8), fp::insufficientQuota},
      {"permission_denied by name", hostError(0, named("permission_denied")), fp::insufficientQuota},
      {"not_found by number", hostError(-9), fp::noSuchItem},
      {"not_found by name", hostError(0, named("not_found")), fp::noSuchItem},
      {"already_exists by number", hostError(-10), fp::filenameCollision},
      {"already_exists by name", hostError(0, named("already_exists")), fp::filenameCollision},
      {"connection_failed by number", hostError(-3), fp::serverUnreachable},
      {"connection_failed by name", hostError(-9, named("connection_failed")), fp::serverUnreachable},
      {"channel_closed by number", hostError(-4), fp::serverUnreachable},
      {"channel_closed by name", hostError(-9, named("channel_closed")), fp::serverUnreachable},
      {"vfs_not_connected by number", hostError(-11), fp::serverUnreachable},
      {"vfs_not_connected by name", hostError(-9, named("vfs_not_connected")), fp::serverUnreachable},
      {"timeout by number", hostError(-5), fp::serverUnreachable},
      {"timeout by name", hostError(-9, named("timeout")), fp::serverUnreachable},
      {"no_space by number", hostError(-23), fp::insufficientQuota},
      {"no_space by name", hostError(0, named("no_space")), fp::insufficientQuota},
      {"directory_not_empty by number", hostError(-24), fp::directoryNotEmpty},
      {"directory_not_empty by name", hostError(0, named("directory_not_empty")), fp::directoryNotEmpty},
      {"sync_anchor_expired is not syncAnchorExpired", hostError(-13), fp::serverUnreachable},
      {"sync_anchor_expired by name", hostError(-9, named("sync_anchor_expired")), fp::serverUnreachable},
      {"other text", hostError(-9, named("stale_epoch")), fp::serverUnreachable},
      {"io", hostError(-12), fp::serverUnreachable},
      {"code outside the table is unknown", hostError(7), fp::serverUnreachable},
      {"zero is unknown", hostError(0), fp::serverUnreachable},
      {"name wins over number", hostError(-1, named("not_found")), fp::noSuchItem},
      {"name wins even when it maps nowhere", hostError(-9, named("conflict")), fp::serverUnreachable},
      {"empty name is just another text", hostError(-9, UserInfo{{"corvane.error.code", std::string()}}), fp::serverUnreachable},
      {"name that is not text falls back to the number", hostError(-9, UserInfo{{"corvane.error.code", std::int64_t{-10}}}), fp::noSuchItem},
      {"Cocoa interrupted", Error(foundation::kCocoaErrorDomain, foundation::cocoa::kXpcConnectionInterrupted), fp::serverUnreachable},
      {"Cocoa error carrying a host name", Error(foundation::kCocoaErrorDomain, 4, named("not_found")), fp::serverUnreachable},
      {"File Provider error passes as unreachable", Error(foundation::kFileProviderErrorDomain, fp::noSuchItem), fp::serverUnreachable},
      {"domain must match exactly", Error("com.vandrel.corvane.vfs.xpc.other", -9), fp::serverUnreachable},
  };
  for (const Case& c : kCases) {
    const Error mapped = mapXpcError(c.source);
    EXPECT_EQ(mapped, Error(foundation::kFileProviderErrorDomain, c.expected,
                            UserInfo{{foundation::kLocalizedDescriptionKey, c.source.localizedDescription()}}))
        << c.name;
  }
}

TEST(FileProviderErrors, FpErrorHasUserInfoOnlyWithADescription) {
  const Error bare = fpError(fp::noSuchItem, std::nullopt);
  EXPECT_EQ(bare.domain(), foundation::kFileProviderErrorDomain);
  EXPECT_EQ(bare.code(), -1005);
  EXPECT_FALSE(bare.userInfo().has_value()) << "absent, not an empty map";

  const Error described = fpError(fp::serverUnreachable, "Host VFS proxy unavailable");
  EXPECT_EQ(described.userInfo(),
            (UserInfo{{foundation::kLocalizedDescriptionKey, std::string("Host VFS proxy unavailable")}}));
  EXPECT_EQ(fpError(fp::serverUnreachable, "").userInfo(),
            (UserInfo{{foundation::kLocalizedDescriptionKey, std::string()}}));
}

TEST(FileProviderErrors, StagingErrorWrapsTheCause) {
  const Error withText = foundation::posixError(28);  // "No space left on device"
  const Error withoutText(foundation::kCocoaErrorDomain, 640);
  for (const Error& cause : {withText, withoutText}) {
    const Error staged = fileProviderStagingError(cause);
    EXPECT_EQ(staged.domain(), foundation::kFileProviderErrorDomain);
    EXPECT_EQ(staged.code(), -2005);
    EXPECT_EQ(staged.localizedDescription(), cause.localizedDescription());
    ASSERT_NE(staged.underlyingError(), nullptr);
    EXPECT_EQ(*staged.underlyingError(), cause);
    EXPECT_EQ(staged.userInfo()->size(), 2u);
  }
}

TEST(FileProviderErrors, ServiceUnavailableIsAHostErrorWithoutTaxonomyText) {
  const Error error = vfsServiceUnavailableError("File Provider extension unavailable");
  EXPECT_EQ(error, Error("com.vandrel.corvane.vfs.xpc", -16,
                         UserInfo{{foundation::kLocalizedDescriptionKey,
                                   std::string("File Provider extension unavailable")}}));
  EXPECT_EQ(mapXpcError(error).code(), fp::serverUnreachable);
}

}  // namespace
}  // namespace corvane
