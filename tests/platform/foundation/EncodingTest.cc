// Byte-level encodings: base64 forms, SHA-256, hex and little-endian integers.
#include <gtest/gtest.h>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Sha256.h"

namespace foundation {
namespace {

TEST(Base64, UrlFormHasNoPaddingAndNoSlash) {
  struct Case {
    std::string in, standard, url;
  };
  const Case cases[] = {
      {"", "", ""},
      {"a", "YQ==", "YQ"},
      {"ab?", "YWI/", "YWI_"},
      {"~~~", "fn5+", "fn5-"},
      {"../../x", "Li4vLi4veA==", "Li4vLi4veA"},
      {std::string("\xff\xfe\x00", 3), "//4A", "__4A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64Encode(c.in), c.standard) << c.in;
    EXPECT_EQ(base64UrlEncode(c.in), c.url) << c.in;
    EXPECT_EQ(base64Decode(c.standard), c.in) << c.standard;
  }
}

TEST(Base64, DecodeRefusesMalformedText) {
  for (const char* bad : {"YQ=", "Y===", "YQ==YQ==", "YW*/", "YQ=a", "_-AA"}) {
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
  }
}

TEST(Sha256, MatchesKnownDigest) {
  EXPECT_EQ(hexString(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256("").size(), 32u);
}

TEST(Data, LittleEndianRoundTrip) {
  Data bytes(16);
  storeUInt64LE(bytes, 0, 1);
  storeUInt64LE(bytes, 8, 0x0102030405060708ull);
  EXPECT_EQ(hexString(bytes), "01000000000000000807060504030201");
  EXPECT_EQ(loadUInt64LE(bytes, 8), 0x0102030405060708ull);
  storeUInt64LE(bytes, 0, UINT64_MAX);
  EXPECT_EQ(loadUInt64LE(bytes, 0), UINT64_MAX);
}

}  // namespace
}  // namespace foundation
