#include "platform/xpc/WireFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace xpc::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes u32le(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) {
  return cat({u32le(static_cast<std::uint32_t>(s.size())), Bytes(s.begin(), s.end())});
}

Bytes container(Tag tag, const Bytes& body) {
  return cat({{static_cast<std::uint8_t>(tag)}, u32le(static_cast<std::uint32_t>(body.size())), body});
}

Bytes nested(int depth) {
  Bytes v = container(Tag::array, u32le(0));
  for (int i = 1; i < depth; ++i) v = container(Tag::array, cat({u32le(1), v}));
  return v;
}

struct ValueCase {
  const char* name;
  Bytes bytes;
  bool valid;
};

TEST(WireFormat, ValueValidationRefusesEveryKindOfDamage) {
  const Bytes str = cat({{0x04}, text("ok")});
  const ValueCase kCases[] = {
      {"Nil", {0x00}, true},
      {"Int64", {0x03, 1, 2, 3, 4, 5, 6, 7, 8}, true},
      {"ShortInt64", {0x03, 1, 2, 3}, false},
      {"Text", str, true},
      {"TextLengthBeyondTheBytes", cat({{0x04}, u32le(50), {'a'}}), false},
      {"TextNotUtf8", cat({{0x04}, u32le(1), {0xFF}}), false},
      {"UnknownTag", {0x42}, false},
      {"TrailingByte", cat({str, {0x00}}), false},
      {"RelativeUrl", cat({{0x05}, text("tmp/x")}), false},
      {"AbsoluteUrl", cat({{0x05}, text("/tmp/x")}), true},
      {"ArrayOfTwo", container(Tag::array, cat({u32le(2), str, {0x01}})), true},
      {"ArrayCountLargerThanItsBody", container(Tag::array, cat({u32le(3), str})), false},
      {"ArrayHoldingNil", container(Tag::array, cat({u32le(1), {0x00}})), false},
      {"ArrayBodyWithLeftovers", container(Tag::array, cat({u32le(1), str, {0x01}})), false},
      {"Depth32", nested(32), true},
      {"Depth33", nested(33), false},
      {"Object", container(Tag::object, cat({text("Vfs_Dto.1"), u32le(1), text("k"), str})), true},
      {"ObjectWithBadClassName", container(Tag::object, cat({text("a b"), u32le(0)})), false},
      {"ObjectWithEmptyKey", container(Tag::object, cat({text("A"), u32le(1), text(""), {0x00}})), false},
      {"ObjectWithDuplicateKey",
       container(Tag::object, cat({text("A"), u32le(2), text("k"), {0x00}, text("k"), {0x01}})), false},
      {"Error", container(Tag::error, cat({text("D"), Bytes(8, 0), {1}, u32le(1), text("n"), {0x03}, Bytes(8, 0)})),
       true},
      {"ErrorWithBadUserInfoFlag", container(Tag::error, cat({text("D"), Bytes(8, 0), {2}, u32le(0)})), false},
      {"ErrorCountWithoutUserInfo", container(Tag::error, cat({text("D"), Bytes(8, 0), {0}, u32le(1)})), false},
      {"ErrorUserInfoHoldingABool",
       container(Tag::error, cat({text("D"), Bytes(8, 0), {1}, u32le(1), text("b"), {0x02}})), false},
  };
  for (const ValueCase& c : kCases) {
    EXPECT_EQ(validateValue(c.bytes.data(), c.bytes.size()), c.valid) << c.name;
  }
}

TEST(WireFormat, LargeKeyCountsStillCatchDuplicates) {
  Bytes entries;
  for (int i = 0; i < 40; ++i) entries = cat({entries, text("k" + std::to_string(i % 39)), {0x00}});
  Bytes v = container(Tag::object, cat({text("A"), u32le(40), entries}));
  EXPECT_FALSE(validateValue(v.data(), v.size()));
}

struct MessageCase {
  const char* name;
  Bytes payload;
  bool valid;
};

TEST(WireFormat, MessageValidationChecksHeaderAndArguments) {
  const Bytes seq(8, 0);
  const MessageCase kCases[] = {
      {"Call", cat({{1}, seq, {1}, text("a:b:"), u32le(1), {0x01}}), true},
      {"CallWithUnknownFlag", cat({{1}, seq, {3}, text("a:"), u32le(0)}), false},
      {"CallWithSpaceInSelector", cat({{1}, seq, {1}, text("a b:"), u32le(0)}), false},
      {"CallWithEmptySelector", cat({{1}, seq, {1}, text(""), u32le(0)}), false},
      {"CallMissingAnArgument", cat({{1}, seq, {1}, text("a:"), u32le(2), {0x01}}), false},
      {"Reply", cat({{2}, seq, u32le(2), {0x00}, {0x00}}), true},
      {"ReplyWithExtraByte", cat({{2}, seq, u32le(0), {0x00}}), false},
      {"Refusal", cat({{3}, seq, text("why")}), true},
      {"UnknownKind", cat({{4}, seq}), false},
      {"ShortSequence", {2, 0, 0}, false},
  };
  for (const MessageCase& c : kCases) {
    EXPECT_EQ(validateMessage(c.payload.data(), c.payload.size()).has_value(), c.valid) << c.name;
  }
  Bytes call = cat({{1}, {7, 0, 0, 0, 0, 0, 0, 0}, {1}, text("sel:"), u32le(1), {0x02}});
  auto h = validateMessage(call.data(), call.size());
  ASSERT_TRUE(h);
  EXPECT_EQ(h->kind, MessageKind::call);
  EXPECT_EQ(h->sequence, 7u);
  EXPECT_TRUE(h->expectsReply);
  EXPECT_EQ(h->selector, "sel:");
  EXPECT_EQ(h->argumentCount, 1u);
  EXPECT_EQ(h->arguments.remaining(), 1u);
}

TEST(WireFormat, Utf8ValidationFollowsTheStandard) {
  const std::pair<std::string, bool> kCases[] = {
      {"plain", true},
      {"\xC3\xA9", true},                  // é
      {"\xE7\xA0\xBE\xE5\xB8\x86", true},  // 砾帆
      {"\xF0\x9F\x93\x81", true},          // 📁
      {"\xC0\xAF", false},                 // overlong '/'
      {"\xE0\x80\xAF", false},             // overlong '/'
      {"\xED\xA0\x80", false},             // surrogate
      {"\xF4\x90\x80\x80", false},         // beyond U+10FFFF
      {"\xE7\xA0", false},                 // cut short
      {"\x80", false},                     // stray continuation
  };
  for (const auto& [s, valid] : kCases) EXPECT_EQ(isValidUtf8(s), valid) << s;
}

}  // namespace
}  // namespace xpc::wire
