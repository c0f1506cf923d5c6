#include "host/HostFaults.h"

#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

namespace {

constexpr std::size_t kNoValue = std::variant_npos;

struct SelectorRule {
  const char* selector;
  bool takesPath;
  // The one value kind (a FaultReply index) this operation answers with, besides
  // the error, nothing and drop kinds that fit every operation.
  std::size_t valueKind;
};

constexpr SelectorRule kRules[] = {
    {VfsXpcSelectors::ping, false, kNoValue},      {VfsXpcSelectors::listDirectory, true, 3},
    {VfsXpcSelectors::getCurrentToken, false, 4},  {VfsXpcSelectors::readChanges, true, 5},
    {VfsXpcSelectors::statItem, true, 2},          {VfsXpcSelectors::fetchFileContents, true, 6},
    {VfsXpcSelectors::uploadFile, true, kNoValue}, {VfsXpcSelectors::createDirectory, true, kNoValue},
    {VfsXpcSelectors::deleteItem, true, kNoValue}, {VfsXpcSelectors::renameItem, true, kNoValue},
};

static_assert(std::is_same_v<std::variant_alternative_t<2, FaultReply>, HostFileEntry>);
static_assert(std::is_same_v<std::variant_alternative_t<3, FaultReply>, std::vector<HostFileEntry>>);
static_assert(std::is_same_v<std::variant_alternative_t<4, FaultReply>, FaultToken>);
static_assert(std::is_same_v<std::variant_alternative_t<5, FaultReply>, HostChangesResult>);
static_assert(std::is_same_v<std::variant_alternative_t<6, FaultReply>, FaultURL>);

const SelectorRule* ruleFor(std::string_view selector) {
  for (const SelectorRule& rule : kRules) {
    if (selector == rule.selector) return &rule;
  }
  return nullptr;
}

bool fitsEveryOperation(const FaultReply& reply) {
  return std::holds_alternative<FaultError>(reply) || std::holds_alternative<FaultNothing>(reply) ||
         std::holds_alternative<FaultDrop>(reply);
}

}  // namespace

foundation::Error FaultError::toError() const {
  if (!codeText && !description) return foundation::Error(domain, code);
  foundation::UserInfo info;
  if (codeText) info[kVfsErrorCodeKey] = *codeText;
  if (description) info[foundation::kLocalizedDescriptionKey] = *description;
  return foundation::Error(domain, code, std::move(info));
}

foundation::Status HostFaults::set(std::string_view selector, std::optional<std::string> path, FaultReply reply) {
  const SelectorRule* rule = ruleFor(selector);
  if (!rule) {
    return vfsError(VfsErrorCode::invalidArgument, "No operation has the selector \"" + std::string(selector) + "\"");
  }
  if (!fitsEveryOperation(reply) && reply.index() != rule->valueKind) {
    return vfsError(VfsErrorCode::invalidArgument,
                    "\"" + std::string(selector) + "\" cannot be answered with that kind of reply");
  }
  if (path && !rule->takesPath) {
    return vfsError(VfsErrorCode::invalidArgument, "\"" + std::string(selector) + "\" names no path");
  }
  if (path && (path->empty() || path->front() != '/')) {
    return vfsError(VfsErrorCode::invalidArgument, "A fault's path must begin with \"/\"");
  }
  std::lock_guard guard(mutex_);
  faults_[std::string(selector)].insert_or_assign(path.value_or(""), std::move(reply));
  return foundation::Ok{};
}

void HostFaults::clear() {
  std::lock_guard guard(mutex_);
  faults_.clear();
}

std::optional<FaultReply> HostFaults::find(std::string_view selector,
                                           std::initializer_list<std::string_view> paths) const {
  std::lock_guard guard(mutex_);
  auto bySelector = faults_.find(selector);
  if (bySelector == faults_.end()) return std::nullopt;
  const auto& byPath = bySelector->second;
  for (std::string_view path : paths) {
    if (auto hit = byPath.find(path); hit != byPath.end()) return hit->second;
  }
  if (auto all = byPath.find(std::string_view()); all != byPath.end()) return all->second;
  return std::nullopt;
}

}  // namespace corvane::host
