#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/xpc/ClassRegistry.h"
#include "platform/xpc/Coder.h"
#include "shared/vfs_xpc/VfsChangesResultDto.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"
#include "shared/vfs_xpc/VfsFsChangeDto.h"
#include "shared/vfs_xpc/VfsXpcEndpointConfiguration.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane {
namespace {

using xpc::wire::ByteWriter;
using xpc::wire::Tag;

template <typename T>
std::shared_ptr<const T> roundTrip(const std::shared_ptr<const T>& object) {
  auto bytes = xpc::Coder::archive(xpc::Object::codable(object));
  auto back = xpc::Coder::unarchive(xpc::ClassSet{&T::codableClass()}, bytes.data(), bytes.size());
  return back ? back->template as<T>() : nullptr;
}

// A keyed archive of class `name` whose entries are written by `fill`.
template <typename Fill>
xpc::wire::Bytes archiveOf(const char* name, std::uint32_t count, Fill fill) {
  ByteWriter w;
  std::size_t at = xpc::codec::beginContainer(w, Tag::object);
  w.text(name);
  w.u32(count);
  fill(w);
  xpc::codec::endContainer(w, at);
  return w.take();
}

TEST(VfsFileEntryDto, UnsignedFieldsSurviveEveryValueAsTheirSignedImage) {
  const std::uint64_t kValues[] = {0, 1, 9223372036854775807ull, 9223372036854775808ull,
                                   std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t v : kValues) {
    auto entry = std::make_shared<const VfsFileEntryDto>("a.txt", false, v, v);
    auto back = roundTrip(entry);
    ASSERT_TRUE(back) << v;
    EXPECT_EQ(*back, *entry) << v;
  }
}

TEST(VfsFileEntryDto, MissingKeysDecodeToEmptyNameAndZeros) {
  auto bytes = archiveOf("VfsFileEntryDto", 1, [](ByteWriter& w) {
    w.text("isDir");
    xpc::codec::writeBool(w, true);
  });
  auto back = xpc::Coder::unarchive(xpc::ClassSet{&VfsFileEntryDto::codableClass()}, bytes.data(), bytes.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back->as<VfsFileEntryDto>(), VfsFileEntryDto("", true, 0, 0));
}

TEST(VfsFileEntryDto, EncodesItsKeysInTableOrder) {
  auto bytes = xpc::Coder::archive(xpc::Object::codable(std::make_shared<VfsFileEntryDto>("n", true, 1, 2)));
  xpc::wire::ByteReader r(bytes.data(), bytes.size());
  std::uint8_t tag;
  std::uint32_t length, count;
  std::string_view name;
  ASSERT_TRUE(r.u8(tag) && r.u32(length) && r.text(name) && r.u32(count));
  EXPECT_EQ(name, "VfsFileEntryDto");
  std::vector<std::string_view> keys;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string_view key;
    ASSERT_TRUE(r.text(key) && xpc::wire::skipValue(r));
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string_view>{"name", "isDir", "size", "modifiedMs"}));
}

TEST(VfsFsChangeDto, RemovalAndAdditionComeBackAsBuilt) {
  auto removal = roundTrip(std::make_shared<const VfsFsChangeDto>(std::string("gone.txt")));
  ASSERT_TRUE(removal);
  EXPECT_TRUE(removal->isRemoved());
  EXPECT_EQ(removal->entry(), nullptr);
  EXPECT_EQ(removal->removedName(), "gone.txt");

  auto entry = std::make_shared<const VfsFileEntryDto>("new.txt", false, 9223372036854775807ull, 1700000000000ull);
  auto addition = roundTrip(std::make_shared<const VfsFsChangeDto>(entry));
  ASSERT_TRUE(addition);
  EXPECT_FALSE(addition->isRemoved());
  ASSERT_TRUE(addition->entry());
  EXPECT_EQ(*addition->entry(), *entry);
  EXPECT_FALSE(addition->removedName());
}

TEST(VfsChangesResultDto, ChangesOtherThanAnArrayOfChangesDecodeAsNone) {
  auto change = std::make_shared<const VfsFsChangeDto>(std::string("x"));
  struct Case {
    const char* name;
    xpc::wire::Bytes bytes;
  };
  const Case kCases[] = {
      {"SingleChangeInsteadOfArray", archiveOf("VfsChangesResultDto", 2,
                                               [&](ByteWriter& w) {
                                                 w.text("changes");
                                                 xpc::codec::writeCodable(w, *change);
                                                 w.text("newToken");
                                                 xpc::codec::writeInt64(w, 77);
                                               })},
      {"NoChangesKey", archiveOf("VfsChangesResultDto", 1,
                                 [&](ByteWriter& w) {
                                   w.text("newToken");
                                   xpc::codec::writeInt64(w, 77);
                                 })},
      {"ArrayHoldingAnArray",
       archiveOf("VfsChangesResultDto", 2,
                 [&](ByteWriter& w) {
                   w.text("changes");
                   xpc::codec::writeObject(w, xpc::Object::array({xpc::Object::array({xpc::Object::codable(change)})}));
                   w.text("newToken");
                   xpc::codec::writeInt64(w, 77);
                 })},
  };
  for (const Case& c : kCases) {
    auto back =
        xpc::Coder::unarchive(xpc::ClassSet{&VfsChangesResultDto::codableClass()}, c.bytes.data(), c.bytes.size());
    ASSERT_TRUE(back) << c.name;
    auto result = back->as<VfsChangesResultDto>();
    EXPECT_TRUE(result->changes().empty()) << c.name;
    EXPECT_EQ(result->newToken(), 77u) << c.name;
  }
}

TEST(VfsChangesResultDto, RoundTripsChangesInOrderAndTheTopToken) {
  auto result = std::make_shared<const VfsChangesResultDto>(
      std::vector<std::shared_ptr<const VfsFsChangeDto>>{
          std::make_shared<const VfsFsChangeDto>(std::make_shared<const VfsFileEntryDto>("a", true, 0, 0)),
          std::make_shared<const VfsFsChangeDto>(std::string("b"))},
      std::numeric_limits<std::uint64_t>::max());
  auto back = roundTrip(result);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->changes().size(), 2u);
  EXPECT_EQ(back->changes()[0]->entry()->name(), "a");
  EXPECT_EQ(back->changes()[1]->removedName(), "b");
  EXPECT_EQ(back->newToken(), std::numeric_limits<std::uint64_t>::max());
}

TEST(VfsXpcInterfaceBuilder, AllowListsCoverListingAndChangeRepliesOnly) {
  auto interface = VfsXpcInterfaceBuilder::createInterface();
  EXPECT_NE(interface, VfsXpcInterfaceBuilder::createInterface());
  EXPECT_EQ(interface->protocol().name(), "VfsXpcProtocol");
  EXPECT_EQ(interface->protocol().methods().size(), 10u);
  using Names = std::vector<std::string_view>;
  EXPECT_EQ(interface->classes(VfsXpcSelectors::listDirectory, 0, true).names(), (Names{"NSArray", "VfsFileEntryDto"}));
  EXPECT_EQ(interface->classes(VfsXpcSelectors::readChanges, 0, true).names(),
            (Names{"NSString", "NSArray", "VfsChangesResultDto", "VfsFsChangeDto", "VfsFileEntryDto"}));
  EXPECT_EQ(interface->classes(VfsXpcSelectors::statItem, 0, true).names(), Names{"VfsFileEntryDto"});
  EXPECT_EQ(interface->classes(VfsXpcSelectors::getCurrentToken, 0, true).names(), Names{"NSNumber"});
  EXPECT_EQ(interface->classes(VfsXpcSelectors::fetchFileContents, 0, true).names(), Names{"NSURL"});
  EXPECT_EQ(xpc::ClassRegistry::find("VfsFsChangeDto"), &VfsFsChangeDto::codableClass());
  EXPECT_STREQ(VfsXpcEndpointConfiguration::fileProviderServiceName, "io.corvane.mac.vfs-host");
}

}  // namespace
}  // namespace corvane
