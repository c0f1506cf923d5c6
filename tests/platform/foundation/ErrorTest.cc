#include "platform/foundation/Error.h"

#include <gtest/gtest.h>

namespace foundation {
namespace {

TEST(Error, DescriptionFallsBackToFoundationSentence) {
  Error bare("com.example", -16);
  EXPECT_EQ(bare.localizedDescription(), "The operation couldn\u2019t be completed. (com.example error -16.)");
  Error described("com.example", 1, UserInfo{{kLocalizedDescriptionKey, std::string("Disk full")}});
  EXPECT_EQ(described.localizedDescription(), "Disk full");
  // A description key holding a non-text value does not count as a description.
  Error numeric("d", 2, UserInfo{{kLocalizedDescriptionKey, std::int64_t{7}}});
  EXPECT_EQ(numeric.localizedDescription(), "The operation couldn\u2019t be completed. (d error 2.)");
}

TEST(Error, AbsentUserInfoDiffersFromEmpty) {
  Error absent("d", 1);
  Error empty("d", 1, UserInfo{});
  EXPECT_FALSE(absent.userInfo().has_value());
  EXPECT_TRUE(empty.userInfo().has_value());
  EXPECT_FALSE(absent == empty);
}

TEST(Error, TypedReadsRefuseOtherKinds) {
  Error inner("NSPOSIXErrorDomain", 2);
  Error error("d", 1,
              UserInfo{{"text", std::string("t")}, {"number", std::int64_t{-3}}, {kUnderlyingErrorKey, nested(inner)}});
  EXPECT_EQ(*error.stringForKey("text"), "t");
  EXPECT_EQ(error.stringForKey("number"), nullptr);
  EXPECT_EQ(error.integerForKey("number"), -3);
  EXPECT_EQ(error.integerForKey("text"), std::nullopt);
  ASSERT_NE(error.underlyingError(), nullptr);
  EXPECT_EQ(*error.underlyingError(), inner);
  EXPECT_EQ(error.errorForKey("missing"), nullptr);
}

TEST(Error, EqualityComparesNestedErrorsByValue) {
  auto make = [](std::int64_t innerCode) {
    return Error("d", 1, UserInfo{{kUnderlyingErrorKey, nested(Error("e", innerCode))}});
  };
  EXPECT_EQ(make(5), make(5));
  EXPECT_FALSE(make(5) == make(6));
}

TEST(Error, PosixErrorCarriesErrnoAndText) {
  Error error = posixError(ENOENT);
  EXPECT_EQ(error.domain(), kPosixErrorDomain);
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_EQ(error.localizedDescription(), "No such file or directory");
}

}  // namespace
}  // namespace foundation
