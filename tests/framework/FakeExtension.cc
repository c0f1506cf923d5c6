#include "tests/framework/FakeExtension.h"

#include "platform/foundation/PathString.h"
#include "tests/support/TempDir.h"

namespace corvane::testing {

namespace {

using fileprovider::ItemIdentifier;

class FakeEnumerator final : public fileprovider::Enumerator {
 public:
  FakeEnumerator(std::shared_ptr<FakeExtension> extension, std::string container)
      : extension_(std::move(extension)), container_(std::move(container)) {}

  void invalidate() override {}
  void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer, fileprovider::Page) override {
    std::vector<fileprovider::ItemPtr> items;
    {
      std::lock_guard guard(extension_->mutex);
      extension_->asked.push_back("list " + container_);
      items = extension_->listings[container_];
    }
    observer->didEnumerateItems(std::move(items));
    observer->finishEnumeratingUpToPage(std::nullopt);
  }
  void enumerateChanges(std::shared_ptr<fileprovider::ChangeObserver> observer, fileprovider::SyncAnchor) override {
    std::optional<FakeExtension::Feed> feed;
    {
      std::lock_guard guard(extension_->mutex);
      extension_->asked.push_back("changes " + container_);
      if (auto found = extension_->feeds.find(container_); found != extension_->feeds.end()) feed = found->second;
    }
    if (feed && feed->error) return observer->finishEnumeratingWithError(*feed->error);
    if (feed && !feed->updated.empty()) observer->didUpdateItems(feed->updated);
    if (feed && !feed->deleted.empty()) {
      std::vector<ItemIdentifier> gone;
      for (const auto& raw : feed->deleted) gone.emplace_back(raw);
      observer->didDeleteItemsWithIdentifiers(std::move(gone));
    }
    observer->finishEnumeratingChangesUpToSyncAnchor({foundation::Data{2}}, false);
  }
  void currentSyncAnchor(std::function<void(std::optional<fileprovider::SyncAnchor>)> completion) override {
    completion(fileprovider::SyncAnchor{foundation::Data{1}});
  }

 private:
  const std::shared_ptr<FakeExtension> extension_;
  const std::string container_;
};

// Answers a create or modify with `item`, or with `failure` when there is none.
void answer(const fileprovider::ReplicatedExtension::ItemChangeCompletion& completion,
            const fileprovider::ItemPtr& item, std::int64_t failure) {
  if (item) return completion(item, {}, false, std::nullopt);
  completion(nullptr, {}, false, foundation::Error(foundation::kFileProviderErrorDomain, failure));
}

}  // namespace

fileprovider::ItemPtr FakeExtension::item(const std::string& path, std::uint64_t size, bool folder) {
  const auto parentPath = foundation::PathString::deletingLastPathComponent(path);
  const ItemIdentifier parent = parentPath == "/" ? ItemIdentifier::rootContainer() : ItemIdentifier("p::" + parentPath);
  return std::make_shared<FileProviderItem>(ItemIdentifier("p::" + path), parent,
                                            foundation::PathString::lastPathComponent(path),
                                            folder ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file,
                                            size, 1000, 1);
}

foundation::Result<std::shared_ptr<fileprovider::Enumerator>> FakeExtension::enumerator(
    const ItemIdentifier& container, const fileprovider::Request&) {
  return std::shared_ptr<fileprovider::Enumerator>(std::make_shared<FakeEnumerator>(shared_from_this(), container.rawValue()));
}

foundation::ProgressPtr FakeExtension::item(const ItemIdentifier& identifier, const fileprovider::Request&,
                                            ItemCompletion completion) {
  fileprovider::ItemPtr found;
  {
    std::lock_guard guard(mutex);
    if (auto it = items.find(identifier.rawValue()); it != items.end()) found = it->second;
  }
  if (found) {
    completion(found, std::nullopt);
  } else {
    completion(nullptr, foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::noSuchItem));
  }
  return nullptr;
}

fileprovider::ItemPtr FakeExtension::store(const std::string& name, const std::string& contents) {
  auto made = item("/" + name, contents.size());
  items[made->itemIdentifier().rawValue()] = made;
  bytes[made->itemIdentifier().rawValue()] = contents;
  return made;
}

std::map<std::string, std::string> FakeExtension::files() {
  std::lock_guard guard(mutex);
  std::map<std::string, std::string> found;
  for (const auto& [identifier, contents] : bytes) found[foundation::PathString::lastPathComponent(identifier)] = contents;
  return found;
}

foundation::ProgressPtr FakeExtension::createItem(fileprovider::ItemPtr itemTemplate, fileprovider::ItemFields,
                                                  const std::optional<std::filesystem::path>& contents,
                                                  fileprovider::CreateItemOptions, const fileprovider::Request&,
                                                  ItemChangeCompletion completion) {
  fileprovider::ItemPtr made;
  {
    std::lock_guard guard(mutex);
    const std::string name = itemTemplate->filename();
    asked.push_back("create " + name);
    if (!items.count("p::/" + name)) made = store(name, contents ? readFile(*contents) : "");
  }
  answer(completion, made, fileprovider::ErrorCode::filenameCollision);
  return nullptr;
}

foundation::ProgressPtr FakeExtension::modifyItem(fileprovider::ItemPtr item, const fileprovider::ItemVersion&,
                                                  fileprovider::ItemFields fields,
                                                  const std::optional<std::filesystem::path>& contents,
                                                  fileprovider::ModifyItemOptions, const fileprovider::Request&,
                                                  ItemChangeCompletion completion) {
  fileprovider::ItemPtr changed;
  {
    std::lock_guard guard(mutex);
    asked.push_back("modify " + item->filename());
    if (unreachableChanges > 0 || unreachableItems.count(item->itemIdentifier().rawValue())) {
      if (unreachableChanges > 0) --unreachableChanges;
    } else {
      const std::string from = item->itemIdentifier().rawValue();
      changed = store(item->filename(), contents ? readFile(*contents) : bytes[from]);
      // A rename leaves the old name free.
      if ((fields & fileprovider::ItemField::filename) && changed->itemIdentifier().rawValue() != from) {
        items.erase(from);
        bytes.erase(from);
      }
    }
  }
  answer(completion, changed, fileprovider::ErrorCode::serverUnreachable);
  return nullptr;
}

foundation::ProgressPtr FakeExtension::deleteItem(const ItemIdentifier& identifier, const fileprovider::ItemVersion&,
                                                  fileprovider::DeleteItemOptions, const fileprovider::Request&,
                                                  ErrorCompletion completion) {
  bool found = false;
  {
    std::lock_guard guard(mutex);
    asked.push_back("delete " + foundation::PathString::lastPathComponent(identifier.rawValue()));
    found = items.erase(identifier.rawValue()) > 0;
    bytes.erase(identifier.rawValue());
  }
  if (found) {
    completion(std::nullopt);
  } else {
    completion(foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::noSuchItem));
  }
  return nullptr;
}

foundation::ProgressPtr FakeExtension::fetchContents(const ItemIdentifier& identifier,
                                                     const std::optional<fileprovider::ItemVersion>&,
                                                     const fileprovider::Request&, FetchCompletion completion) {
  fileprovider::ItemPtr found;
  std::filesystem::path file;
  {
    std::lock_guard guard(mutex);
    if (auto it = items.find(identifier.rawValue()); it != items.end()) found = it->second;
    if (found) {
      file = fetchFolder / std::to_string(asked.size());
      asked.push_back("fetch " + found->filename());
      writeFile(file, bytes[identifier.rawValue()]);
    }
  }
  if (found) {
    completion(file, found, std::nullopt);
  } else {
    completion(std::nullopt, nullptr,
               foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::noSuchItem));
  }
  return nullptr;
}

}  // namespace corvane::testing
