// fileprovider::ReplicatedExtension stands in for NSFileProviderReplicatedExtension
// and NSFileProviderServicing: every request the framework makes of an extension.
// Request methods return at once (with a progress where the platform has one);
// each completion handler runs exactly once, on any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Enumeration.h"
#include "platform/fileprovider/Item.h"
#include "platform/fileprovider/ItemFields.h"
#include "platform/fileprovider/ServiceSource.h"
#include "platform/foundation/Progress.h"
#include "platform/foundation/Result.h"

namespace fileprovider {

class ReplicatedExtension {
 public:
  using OptionalError = std::optional<foundation::Error>;
  using ItemCompletion = std::function<void(ItemPtr item, OptionalError error)>;
  using FetchCompletion =
      std::function<void(std::optional<std::filesystem::path> contents, ItemPtr item, OptionalError error)>;
  // The created or modified item, the fields still to be applied, and whether the
  // framework should fetch the item's contents afresh.
  using ItemChangeCompletion =
      std::function<void(ItemPtr item, ItemFields remainingFields, bool shouldFetchContent, OptionalError error)>;
  using ErrorCompletion = std::function<void(OptionalError error)>;
  using ServiceSourcesCompletion =
      std::function<void(std::optional<std::vector<ServiceSourcePtr>> sources, OptionalError error)>;

  virtual ~ReplicatedExtension() = default;

  virtual void invalidate() = 0;

  virtual foundation::Result<std::shared_ptr<Enumerator>> enumerator(const ItemIdentifier& container,
                                                                     const Request& request) = 0;

  virtual foundation::ProgressPtr item(const ItemIdentifier& identifier, const Request& request,
                                       ItemCompletion completionHandler) = 0;

  virtual foundation::ProgressPtr fetchContents(const ItemIdentifier& identifier,
                                                const std::optional<ItemVersion>& version, const Request& request,
                                                FetchCompletion completionHandler) = 0;

  virtual foundation::ProgressPtr createItem(ItemPtr itemTemplate, ItemFields fields,
                                             const std::optional<std::filesystem::path>& contents,
                                             CreateItemOptions options, const Request& request,
                                             ItemChangeCompletion completionHandler) = 0;

  virtual foundation::ProgressPtr modifyItem(ItemPtr item, const ItemVersion& baseVersion, ItemFields changedFields,
                                             const std::optional<std::filesystem::path>& contents,
                                             ModifyItemOptions options, const Request& request,
                                             ItemChangeCompletion completionHandler) = 0;

  virtual foundation::ProgressPtr deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                             DeleteItemOptions options, const Request& request,
                                             ErrorCompletion completionHandler) = 0;

  virtual void importDidFinish(std::function<void()> completionHandler) = 0;

  // NSFileProviderServicing.
  virtual foundation::ProgressPtr supportedServiceSources(const ItemIdentifier& identifier,
                                                          ServiceSourcesCompletion completionHandler) = 0;
};

using ReplicatedExtensionPtr = std::shared_ptr<ReplicatedExtension>;

}  // namespace fileprovider
