#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host/HostState.h"
#include "platform/foundation/Sha256.h"

namespace corvane::host {
namespace {

HostState sampleState() {
  HostState s;
  s.cleanStop = true;
  s.floor = 40;
  s.current = 42;
  s.ceiling = 1066;
  s.rootPath = "/srv/share";
  s.rootDevice = 2049;
  s.rootInode = 77;
  s.records.push_back({41, "/Docs", HostFsChange::added({"a.txt", false, 9223372036854775807ull, 5})});
  s.records.push_back({42, "/", HostFsChange::removed("old")});
  s.snapshot["/Docs"] = {true, 0, 1700000000000000000ull, 3};
  s.snapshot["/Docs/a.txt"] = {false, 12, 1700000000123456789ull, 4};
  return s;
}

// Replaces the digest so that only the damage under test is left to find.
std::string reseal(std::string bytes) {
  bytes.resize(bytes.size() - 32);
  foundation::Data digest = foundation::sha256(bytes);
  bytes.append(digest.begin(), digest.end());
  return bytes;
}

void putU64(std::string& bytes, std::size_t offset, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

TEST(HostStateTest, RoundTripsEveryField) {
  HostState state = sampleState();
  auto decoded = decodeHostState(encodeHostState(state));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, state);

  HostState empty;
  empty.cleanStop = false;
  auto decodedEmpty = decodeHostState(encodeHostState(empty));
  ASSERT_TRUE(decodedEmpty);
  EXPECT_EQ(*decodedEmpty, empty);
}

TEST(HostStateTest, RefusesEveryKindOfDamage) {
  const std::string good = encodeHostState(sampleState());
  // Offsets: magic 0, version 4, flags 8, current 12, floor 20, ceiling 28.
  struct Case {
    const char* damage;
    std::function<std::string()> make;
  };
  const Case kCases[] = {
      {"empty", [] { return std::string(); }},
      {"short", [&] { return good.substr(0, 20); }},
      {"cut before the digest", [&] { return good.substr(0, good.size() - 1); }},
      {"flipped byte",
       [&] {
         std::string b = good;
         b[60] ^= 1;
         return b;
       }},
      {"wrong magic",
       [&] {
         std::string b = good;
         b[0] = 'X';
         return reseal(b);
       }},
      {"wrong version",
       [&] {
         std::string b = good;
         b[4] = 2;
         return reseal(b);
       }},
      {"unknown flag",
       [&] {
         std::string b = good;
         b[8] = 3;
         return reseal(b);
       }},
      {"floor above current",
       [&] {
         std::string b = good;
         putU64(b, 20, 43);
         return reseal(b);
       }},
      {"current above ceiling",
       [&] {
         std::string b = good;
         putU64(b, 12, 2000);
         return reseal(b);
       }},
      {"trailing bytes",
       [&] {
         std::string b = good;
         b.insert(b.size() - 32, "x");
         return reseal(b);
       }},
      {"record name with a slash",
       [&] {
         HostState s = sampleState();
         s.records.front().change.entry->name = "a/b";
         return encodeHostState(s);
       }},
      {"record tokens out of order",
       [&] {
         HostState s = sampleState();
         std::swap(s.records.front().token, s.records.back().token);
         return encodeHostState(s);
       }},
      {"record token above current",
       [&] {
         HostState s = sampleState();
         s.records.back().token = 43;
         return encodeHostState(s);
       }},
      {"folder with dot-dot",
       [&] {
         HostState s = sampleState();
         s.records.front().folder = "/Docs/../..";
         return encodeHostState(s);
       }},
      {"snapshot path not canonical",
       [&] {
         HostState s = sampleState();
         s.snapshot["/Docs//b"] = {};
         return encodeHostState(s);
       }},
      {"snapshot holds the root",
       [&] {
         HostState s = sampleState();
         s.snapshot["/"] = {};
         return encodeHostState(s);
       }},
      {"boolean other than 0 or 1",
       [&] {
         std::string b = good;
         // isDir of the last snapshot item sits 25 bytes before the digest.
         b[b.size() - 32 - 25] = 2;
         return reseal(b);
       }},
      {"huge record count",
       [&] {
         std::string b = good;
         std::size_t countAt = 36 + 4 + sampleState().rootPath.size() + 16;
         b[countAt + 3] = 0x7f;
         return reseal(b);
       }},
  };
  for (const Case& c : kCases) {
    EXPECT_FALSE(decodeHostState(c.make())) << c.damage;
  }
}

}  // namespace
}  // namespace corvane::host
