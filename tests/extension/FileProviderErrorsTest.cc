// The error helpers: the host taxonomy, the one mapping from host-link failures to
// File Provider errors, and the constructors' exact user info.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "extension/FileProviderErrors.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Error.h"

namespace corvane {
namespace {

using foundation::Error;
using foundation::UserInfo;
namespace fp = fileprovider::ErrorCode;

// Each code's text is checked against its name, so a shifted row in the table
// shows as a mismatch rather than as a copy of itself.
TEST(VfsErrorCode, EveryCodeHasTheTextOfItsName) {
  using C = VfsErrorCode;
  const std::pair<C, const char*> kRows[] = {{C::invalidArgument, "invalid_argument"},
                                             {C::authenticationFailed, "authentication_failed"},
                                             {C::connectionFailed, "connection_failed"},
                                             {C::channelClosed, "channel_closed"},
                                             {C::timeout, "timeout"},
                                             {C::protocolError, "protocol_error"},
                                             {C::flowControl, "flow_control"},
                                             {C::permissionDenied, "permission_denied"},
                                             {C::notFound, "not_found"},
                                             {C::alreadyExists, "already_exists"},
                                             {C::vfsNotConnected, "vfs_not_connected"},
                                             {C::io, "io"},
                                             {C::syncAnchorExpired, "sync_anchor_expired"},
                                             {C::cancelled, "cancelled"},
                                             {C::backpressure, "backpressure"},
                                             {C::serviceUnavailable, "service_unavailable"},
                                             {C::conflict, "conflict"},
                                             {C::invalidTransition, "invalid_transition"},
                                             {C::blocked, "blocked"},
                                             {C::staleEpoch, "stale_epoch"},
                                             {C::pendingTransferConflict, "pending_transfer_conflict"},
                                             {C::transferSkipped, "transfer_skipped"},
                                             {C::noSpace, "no_space"},
                                             {C::directoryNotEmpty, "directory_not_empty"},
                                             {C::resourceLimitExceeded, "resource_limit_exceeded"},
                                             {C::syncPathOverlapsMount, "sync_path_overlaps_mount"}};
  ASSERT_EQ(std::size(kRows), 26u);
  for (const auto& [code, text] : kRows) EXPECT_EQ(vfsErrorCodeText(code), text) << static_cast<int>(code);
  for (std::int64_t outside : {std::int64_t{0}, std::int64_t{7}, std::int64_t{-27},
                               std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(vfsErrorCodeText(outside), "unknown") << outside;
  }
}

Error hostError(std::int64_t code, std::optional<UserInfo> info = std::nullopt) {
  return Error(kVfsErrorDomain, code, std::move(info));
}

UserInfo named(const char* codeText) {
  return UserInfo{{"corvane.error.code", std::string(codeText)},
                  {foundation::kLocalizedDescriptionKey, std::string("host says ") + codeText}};
}

std::int64_t mappedCode(const Error& source) {
  const Error mapped = mapXpcError(source);
  EXPECT_EQ(mapped, Error(foundation::kFileProviderErrorDomain, mapped.code(),
                          UserInfo{{foundation::kLocalizedDescriptionKey, source.localizedDescription()}}));
  return mapped.code();
}

// Every row of the mapping, each reached by its number and by its name (a name
// rides on -9, not_found, where the row is another), plus the precedence rules.
TEST(FileProviderErrors, MapXpcErrorFollowsTheMappingTable) {
  struct Row {
    std::int64_t code;
    const char* name;
    std::int64_t expected;
  };
  const Row kRows[] = {
      {-8, "permission_denied", fp::insufficientQuota},
      {-9, "not_found", fp::noSuchItem},
      {-10, "already_exists", fp::filenameCollision},
      {-3, "connection_failed", fp::serverUnreachable},
      {-4, "channel_closed", fp::serverUnreachable},
      {-11, "vfs_not_connected", fp::serverUnreachable},
      {-5, "timeout", fp::serverUnreachable},
      {-23, "no_space", fp::insufficientQuota},
      {-24, "directory_not_empty", fp::directoryNotEmpty},
      {-13, "sync_anchor_expired", fp::serverUnreachable},  // not syncAnchorExpired
  };
  for (const Row& r : kRows) {
    EXPECT_EQ(mappedCode(hostError(r.code)), r.expected) << r.name << " by number";
    EXPECT_EQ(mappedCode(hostError(r.code == -9 ? 0 : -9, named(r.name))), r.expected) << r.name << " by name";
  }
  struct Case {
    const char* name;
    Error source;
    std::int64_t expected;
  };
  const Case kCases[] = {
      {"other text", hostError(-9, named("stale_epoch")), fp::serverUnreachable},
      {"io", hostError(-12), fp::serverUnreachable},
      {"code outside the table is unknown", hostError(7), fp::serverUnreachable},
      {"zero is unknown", hostError(0), fp::serverUnreachable},
      {"name wins over number", hostError(-1, named("not_found")), fp::noSuchItem},
      {"name wins even when it maps nowhere", hostError(-9, named("conflict")), fp::serverUnreachable},
      {"empty name is just another text", hostError(-9, UserInfo{{"corvane.error.code", std::string()}}),
       fp::serverUnreachable},
      {"name that is not text falls back to the number",
       hostError(-9, UserInfo{{"corvane.error.code", std::int64_t{-10}}}), fp::noSuchItem},
      {"Cocoa interrupted", Error(foundation::kCocoaErrorDomain, foundation::cocoa::kXpcConnectionInterrupted),
       fp::serverUnreachable},
      {"Cocoa error carrying a host name", Error(foundation::kCocoaErrorDomain, 4, named("not_found")),
       fp::serverUnreachable},
      {"File Provider error passes as unreachable", Error(foundation::kFileProviderErrorDomain, fp::noSuchItem),
       fp::serverUnreachable},
      {"domain must match exactly", Error("com.vandrel.corvane.vfs.xpc.other", -9), fp::serverUnreachable},
  };
  for (const Case& c : kCases) EXPECT_EQ(mappedCode(c.source), c.expected) << c.name;
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
  EXPECT_EQ(
      error,
      Error("com.vandrel.corvane.vfs.xpc", -16,
            UserInfo{{foundation::kLocalizedDescriptionKey, std::string("File Provider extension unavailable")}}));
  EXPECT_EQ(mapXpcError(error).code(), fp::serverUnreachable);
}

}  // namespace
}  // namespace corvane
