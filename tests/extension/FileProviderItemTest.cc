#include "extension/FileProviderItem.h"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include "shared/share_epoch/FileProviderItemVersionPolicy.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;
using Kind = FileProviderItem::Kind;

FileProviderItem make(const std::string& id, const std::string& name, Kind kind, std::uint64_t size = 42,
                      std::uint64_t modifiedMs = 900, std::optional<std::uint64_t> epoch = 3) {
  return FileProviderItem(ItemIdentifier(id), ItemIdentifier::rootContainer(), name, kind, size, modifiedMs, epoch);
}

// Independent of the code under test: OpenSSL's one-shot SHA256, in hex.
std::string referenceDigest(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return foundation::hexString(foundation::Data(digest, digest + sizeof digest));
}

TEST(FileProviderItemVersion, TagsHashTheExactInputTexts) {
  auto tags = FileProviderItemVersionPolicy::make("p1::/Docs/a.txt", "a.txt", false, 42, 900, 3);
  EXPECT_EQ(foundation::hexString(tags.content), "a95f82e41234fc29333ee8b9c583a6481b6d8301954e1799f9b9940388077882");
  EXPECT_EQ(foundation::hexString(tags.metadata), "4f5fef8aa1b35a9cdd76f6cb4c9e5f4fe960c329fbf316d461cf051d8218587d");
  EXPECT_EQ(foundation::hexString(tags.content), referenceDigest("c|3|p1::/Docs/a.txt|900|42|f"));

  auto folder = FileProviderItemVersionPolicy::make("p1::/Docs", "Docs", true, 4096, 0, 0);
  EXPECT_EQ(foundation::hexString(folder.content), referenceDigest("c|0|p1::/Docs|0|4096|d"));
  EXPECT_EQ(foundation::hexString(folder.metadata), referenceDigest("m|0|p1::/Docs|Docs|0|4096|d"));

  auto big = FileProviderItemVersionPolicy::make("p::/x", "x", false, UINT64_MAX, 1, UINT64_MAX);
  EXPECT_EQ(foundation::hexString(big.content),
            referenceDigest("c|18446744073709551615|p::/x|1|18446744073709551615|f"));
}

TEST(FileProviderItemVersion, WhichFieldsMoveWhichTag) {
  auto base = make("p1::/a.txt", "a.txt", Kind::file).itemVersion();
  auto renamed = make("p1::/a.txt", "b.txt", Kind::file).itemVersion();
  EXPECT_EQ(renamed.contentVersion, base.contentVersion);
  EXPECT_NE(renamed.metadataVersion, base.metadataVersion);

  const FileProviderItem changed[] = {
      make("p1::/a.txt", "a.txt", Kind::file, 43),
      make("p1::/a.txt", "a.txt", Kind::file, 42, 901),
      make("p1::/a.txt", "a.txt", Kind::file, 42, 900, 4),
      make("p1::/a.txt", "a.txt", Kind::directory),
      make("p2::/a.txt", "a.txt", Kind::file),
  };
  for (const auto& item : changed) {
    auto version = item.itemVersion();
    EXPECT_NE(version.contentVersion, base.contentVersion) << item.itemIdentifier().rawValue();
    EXPECT_NE(version.metadataVersion, base.metadataVersion) << item.itemIdentifier().rawValue();
  }
}

TEST(FileProviderItem, DerivedPropertiesOfFilesAndFolders) {
  auto file = make("p1::/Docs/a.txt", "a.txt", Kind::file, 42, 1500);
  EXPECT_EQ(file.contentType().identifier(), "public.plain-text");
  EXPECT_EQ(file.documentSize(), 42u);
  EXPECT_EQ(file.childItemCount(), std::nullopt);
  ASSERT_TRUE(file.contentModificationDate().has_value());
  EXPECT_DOUBLE_EQ(file.contentModificationDate()->timeIntervalSince1970, 1.5);
  EXPECT_EQ(file.creationDate(), file.contentModificationDate());
  EXPECT_FALSE(file.isDownloaded());
  EXPECT_FALSE(file.isMostRecentVersionDownloaded());
  EXPECT_EQ(file.capabilities(), 63u);
  EXPECT_EQ(file.fileSystemFlags(), 6u);
  EXPECT_EQ(file.userInfo(), std::nullopt) << "left to the framework's default";

  auto folder = make("p1::/Docs.txt", "Docs.txt", Kind::directory, 4096);
  EXPECT_EQ(folder.contentType(), uniform_types::UTType::folder()) << "a folder's name never decides";
  EXPECT_EQ(folder.documentSize(), std::nullopt);
  EXPECT_TRUE(folder.isDownloaded());
  EXPECT_TRUE(folder.isMostRecentVersionDownloaded());
  EXPECT_EQ(folder.capabilities(), 63u);
  EXPECT_EQ(folder.fileSystemFlags(), 7u);
}

TEST(FileProviderItem, ContentTypes) {
  struct Case {
    const char* name;
    const char* type;
  };
  const Case cases[] = {
      {"photo.JPG", "public.jpeg"}, {"a.tar.gz", "org.gnu.gnu-zip-archive"},
      {"README", "public.data"},    {"x.unknownext", "public.data"},
      {".profile", "public.data"},  {"report.pdf", "com.adobe.pdf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(make("p1::/x", c.name, Kind::file).contentType().identifier(), c.type) << c.name;
  }
}

TEST(FileProviderItem, ZeroModificationTimeMeansNoDates) {
  auto item = make("p1::/a", "a", Kind::file, 1, 0);
  EXPECT_EQ(item.contentModificationDate(), std::nullopt);
  EXPECT_EQ(item.creationDate(), std::nullopt);
  EXPECT_EQ(item.itemVersion().contentVersion,
            FileProviderItemVersionPolicy::make("p1::/a", "a", false, 1, 0, 3).content);
}

// Overriding the base getters must change what the derived getters answer.
class DownloadedFile : public FileProviderItem {
 public:
  using FileProviderItem::FileProviderItem;
  bool isDownloaded() const override { return true; }
  std::optional<foundation::Date> contentModificationDate() const override { return foundation::Date{7}; }
};

TEST(FileProviderItem, DerivedGettersDispatchThroughOverrides) {
  DownloadedFile item(ItemIdentifier("p1::/a"), ItemIdentifier::rootContainer(), "a", Kind::file, 1, 0, 1);
  const fileprovider::Item& asItem = item;
  EXPECT_TRUE(asItem.isMostRecentVersionDownloaded());
  EXPECT_EQ(asItem.creationDate(), foundation::Date{7});
}

TEST(FileProviderItem, AbsentEpochReadsThePeersCurrentEpoch) {
  testing::TempDir dir;
  testing::ScopedEnv groups("CORVANE_APP_GROUPS", dir.path().string());
  auto epoch = FileProviderShareEpoch::bump("p1");
  ASSERT_TRUE(epoch.has_value());
  EXPECT_EQ(make("p1::/Docs/a.txt", "a.txt", Kind::file, 1, 1, std::nullopt).versionEpoch(), *epoch);
  EXPECT_EQ(make("p2::/a", "a", Kind::file, 1, 1, std::nullopt).versionEpoch(), 0u);
  EXPECT_EQ(
      make("NSFileProviderRootContainerItemIdentifier", "root", Kind::directory, 0, 0, std::nullopt).versionEpoch(),
      0u);
  EXPECT_EQ(make("p1::/a", "a", Kind::file, 1, 1, 99).versionEpoch(), 99u) << "a given epoch wins";

  // A peer named "p1::b": a reported child (a change) and an item made from its
  // identifier (a lookup, a creation) both read the epoch of "p1", so the same
  // entry carries the same version tags either way.
  FileProviderShareEpoch::bump("p1::b");
  auto folder = std::make_shared<const EntryFolder>(EntryFolder{fileprovider::ItemIdentifier("p1::b::/D"), "p1::b",
                                                                "/D", EntryFolder::Joining::changed});
  const FileProviderItem reported(folder, std::make_shared<const VfsFileEntryDto>("x", false, 3, 4), std::nullopt);
  const FileProviderItem looked = make("p1::b::/D/x", "x", Kind::file, 3, 4, std::nullopt);
  EXPECT_EQ(reported.versionEpoch(), *epoch);
  EXPECT_EQ(reported.itemVersion().contentVersion, looked.itemVersion().contentVersion);
}

}  // namespace
}  // namespace corvane
