// A stand-in for the extension, for the mount's parts tested without FUSE: it
// answers listings, change feeds and lookups from what a test puts in it, keeps
// the bytes of files created and modified through it (all in the peer's top
// folder), at once and on the caller's thread, and notes what was asked.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extension/FileProviderItem.h"
#include "platform/fileprovider/Errors.h"
#include "platform/fileprovider/ReplicatedExtension.h"

namespace corvane::testing {

class FakeExtension final : public fileprovider::ReplicatedExtension,
                            public std::enable_shared_from_this<FakeExtension> {
 public:
  struct Feed {
    std::vector<fileprovider::ItemPtr> updated;
    std::vector<std::string> deleted;
    std::optional<foundation::Error> error;
  };

  // The item at `path` of peer "p" ("/" is the root): a file of `size` bytes, or a folder.
  static fileprovider::ItemPtr item(const std::string& path, std::uint64_t size = 1, bool folder = false);

  std::mutex mutex;  // guards everything below
  std::map<std::string, std::vector<fileprovider::ItemPtr>> listings;  // by container identifier
  std::map<std::string, Feed> feeds;                                   // by container identifier; absent: quiet
  std::map<std::string, fileprovider::ItemPtr> items;                  // what item(for:) finds
  std::map<std::string, std::string> bytes;                            // by identifier: files' contents
  std::vector<std::string> asked;  // "list X", "changes X", "create NAME", "modify NAME", in order
  std::filesystem::path fetchFolder;  // where fetched contents are handed over
  int unreachableChanges = 0;         // how many creates and modifies to come fail as if the host were away
  std::set<std::string> unreachableItems;  // identifiers whose modifies fail so

  void invalidate() override {}
  foundation::Result<std::shared_ptr<fileprovider::Enumerator>> enumerator(const fileprovider::ItemIdentifier& container,
                                                                           const fileprovider::Request&) override;
  foundation::ProgressPtr item(const fileprovider::ItemIdentifier& identifier, const fileprovider::Request&,
                               ItemCompletion completion) override;
  foundation::ProgressPtr fetchContents(const fileprovider::ItemIdentifier& identifier,
                                        const std::optional<fileprovider::ItemVersion>&, const fileprovider::Request&,
                                        FetchCompletion completion) override;
  foundation::ProgressPtr createItem(fileprovider::ItemPtr itemTemplate, fileprovider::ItemFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fileprovider::CreateItemOptions, const fileprovider::Request&,
                                     ItemChangeCompletion completion) override;
  foundation::ProgressPtr modifyItem(fileprovider::ItemPtr item, const fileprovider::ItemVersion&,
                                     fileprovider::ItemFields, const std::optional<std::filesystem::path>& contents,
                                     fileprovider::ModifyItemOptions, const fileprovider::Request&,
                                     ItemChangeCompletion completion) override;
  // Stores `contents` as the file `name` of the top folder: its item.
  fileprovider::ItemPtr store(const std::string& name, const std::string& contents);
  // The top folder's files and their bytes.
  std::map<std::string, std::string> files();
  foundation::ProgressPtr deleteItem(const fileprovider::ItemIdentifier& identifier, const fileprovider::ItemVersion&,
                                     fileprovider::DeleteItemOptions, const fileprovider::Request&,
                                     ErrorCompletion completion) override;
  void importDidFinish(std::function<void()> completion) override { completion(); }
  foundation::ProgressPtr supportedServiceSources(const fileprovider::ItemIdentifier&,
                                                  ServiceSourcesCompletion completion) override {
    completion(std::nullopt, unsupported());
    return nullptr;
  }

 private:
  static foundation::Error unsupported() { return foundation::Error(foundation::kFileProviderErrorDomain, -2001); }
};

}  // namespace corvane::testing
