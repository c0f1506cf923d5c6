#include "framework/mount/tree/NodeTable.h"

#include <unistd.h>

#include <algorithm>

#include "platform/fileprovider/Errors.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemIdentifier;

bool isFolder(const fileprovider::ItemPtr& item) {
  return item->contentType() == uniform_types::UTType::folder();
}

timespec timeOf(double seconds) {
  timespec out{};
  out.tv_sec = static_cast<time_t>(seconds);
  out.tv_nsec = static_cast<long>((seconds - static_cast<double>(out.tv_sec)) * 1e9);
  return out;
}

}  // namespace

NodeTable::NodeTable() {
  auto root = std::make_shared<Node>(true);
  root->inode = FUSE_ROOT_ID;
  root->parent = FUSE_ROOT_ID;
  root->identifier = ItemIdentifier::rootContainer();
  nodes_.resize(FUSE_ROOT_ID + 1);
  nodes_[FUSE_ROOT_ID] = root;
  index(*root);
}

NodePtr NodeTable::node(fuse_ino_t inode) const {
  const Held held = hold();
  return find(held, inode);
}

NodePtr NodeTable::child(const NodePtr& folder, const std::string& name) const {
  const Held held = hold();
  return folder->folder ? find(held, folder->folderState->children.find(name)) : nullptr;
}

std::string NodeTable::pathNow(const NodePtr& node) const {
  const Held held = hold();
  return pathOf(held, node);
}

std::shared_lock<std::shared_mutex> NodeTable::holdFolder(fuse_ino_t inode) const {
  NodePtr folder = node(inode);
  return folder && folder->folder ? std::shared_lock(folder->folderState->mutating)
                                  : std::shared_lock<std::shared_mutex>();
}

bool NodeTable::changingNow(const Held&, const NodePtr& folder) {
  // Never waits: the table is held, and changes take the folder's lock first.
  std::unique_lock probe(folder->folderState->mutating, std::try_to_lock);
  return !probe.owns_lock();
}

NodePtr NodeTable::find(const Held&, fuse_ino_t inode) const { return inode < nodes_.size() ? nodes_[inode] : nullptr; }

NodePtr NodeTable::findIdentifier(const Held& held, const std::string& raw) const {
  auto found = byIdentifier_.find(std::string_view(raw));
  return found == byIdentifier_.end() ? nullptr : find(held, (*found)->inode);
}

fuse_ino_t NodeTable::place(const Held& held, const fileprovider::ItemPtr& item, fuse_ino_t parent) {
  const std::string raw = item->itemIdentifier().rawValue();
  const bool folder = isFolder(item);
  NodePtr node = findIdentifier(held, raw);
  if (!node || node->folder != folder) {
    node = std::make_shared<Node>(folder);
    node->inode = static_cast<std::uint32_t>(nodes_.size());
    node->identifier = item->itemIdentifier();
    nodes_.push_back(node);
    index(*node);
  }
  const auto& version = item->itemVersion().contentVersion;
  const bool newContents = !node->item || node->item->itemVersion().contentVersion != version;
  if (node->parent != parent || node->name() != item->filename()) {
    takeOut(held, *node);
    node->parent = static_cast<std::uint32_t>(parent);
  }
  node->item = item;
  if (node->local) node->local->name.reset();  // the peer's name it is
  // A local edit keeps its own date until it is sent.
  if (times_ && newContents && !node->folder && !node->dirty()) {
    auto kept = times_->find(raw, version);
    if (kept || node->local) node->localState().modified = kept;
  }
  return node->inode;
}

void NodeTable::keepTime(const Held&, const Node& node) {
  auto modified = node.localModified();
  if (times_ && node.item && modified && !node.identifier.empty()) {
    times_->keep(std::string(node.identifier.rawValue()), node.item->itemVersion().contentVersion, *modified);
  }
}

NodePtr NodeTable::placeIn(const Held& held, const NodePtr& folder, const fileprovider::ItemPtr& item) {
  NodePtr node = find(held, place(held, item, folder->inode));
  folder->folderState->children.insert(*node);
  return node;
}

NodePtr NodeTable::addNew(const Held&, const NodePtr& folder, const std::string& name) {
  auto made = std::make_shared<Node>(false);
  made->inode = static_cast<std::uint32_t>(nodes_.size());
  made->parent = folder->inode;
  made->localState().name = name;
  nodes_.push_back(made);
  folder->folderState->children.insert(*made);
  return made;
}

NodePtr NodeTable::unlink(const Held& held, const NodePtr& folder, std::string_view name) {
  return find(held, folder->folderState->children.erase(name));
}

void NodeTable::renameChild(const Held& held, const NodePtr& folder, const NodePtr& child, const std::string& name) {
  takeOut(held, *child);
  folder->folderState->children.erase(name);
  child->parent = folder->inode;
  setName(*child, name);
  folder->folderState->children.insert(*child);
}

void NodeTable::setItem(const Held&, Node& node, fileprovider::ItemPtr item) {
  const bool named = node.item || (node.local && node.local->name);
  std::string name = node.name();
  node.item = std::move(item);
  if (named) setName(node, std::move(name));  // else (the root, at first) the item's
}

void NodeTable::setName(Node& node, std::string name) {
  if (node.item && node.item->filename() == name) {
    if (node.local) node.local->name.reset();
  } else {
    node.localState().name = std::move(name);
  }
}

void NodeTable::relist(const Held& held, const NodePtr& folder, const std::vector<fileprovider::ItemPtr>& items) {
  ChildIndex children;
  folder->folderState->children.each([&](const Node& child) {
    if (!child.item) children.insert(child);
  });
  for (const auto& item : items) {
    if (!children.contains(item->filename())) children.insert(*find(held, place(held, item, folder->inode)));
  }
  folder->folderState->children = std::move(children);
}

void NodeTable::takeOut(const Held& held, const Node& node) {
  const NodePtr parent = find(held, node.parent);
  if (!parent || !parent->folder || &node == parent.get()) return;
  if (parent->folderState->children.find(node.name()) == node.inode) parent->folderState->children.erase(node.name());
}

void NodeTable::erase(const Held& held, fuse_ino_t inode) {
  const Node* node = find(held, inode).get();
  if (!node) return;
  takeOut(held, *node);
  if (auto indexed = byIdentifier_.find(node); indexed != byIdentifier_.end() && *indexed == node) {
    byIdentifier_.erase(indexed);
  }
  nodes_[inode].reset();
}

void NodeTable::lookedUp(const Held& held, const NodePtr& node) {
  if (find(held, node->inode) != node) nodes_[node->inode] = node;
  if (node->lookups != UINT32_MAX) ++node->lookups;
}

bool NodeTable::forgotten(fuse_ino_t inode, std::uint64_t count) {
  const Held held = hold();
  NodePtr node = find(held, inode);
  if (!node || inode == FUSE_ROOT_ID || node->lookups == UINT32_MAX) return false;
  node->lookups -= static_cast<std::uint32_t>(std::min<std::uint64_t>(count, node->lookups));
  if (node->lookups != 0) return false;
  NodePtr parent = find(held, node->parent);
  if (parent && parent->folder && parent->folderState->children.find(node->name()) == inode) return false;
  erase(held, inode);
  return true;
}

void NodeTable::index(const Node& node) {
  unindex(node.identifier.rawValue());
  byIdentifier_.insert(&node);
}

void NodeTable::unindex(std::string_view raw) {
  if (auto found = byIdentifier_.find(raw); found != byIdentifier_.end()) byIdentifier_.erase(found);
}

std::vector<NodeTable::MovedFile> NodeTable::rekey(const Held&, const NodePtr& node, const ItemIdentifier& identifier) {
  const std::string old(node->identifier.rawValue());
  const std::string& now = identifier.rawValue();
  if (old == now) return {};
  ++renames_;
  if (!old.empty()) unindex(old);
  node->identifier = identifier;
  index(*node);
  if (!node->folder || old.empty()) return {};
  // Everything below a renamed folder has a new identifier too. Their items keep
  // the old one until the folder is listed again, so drop what they listed.
  std::vector<MovedFile> moved;
  for (auto& other : nodes_) {
    if (!other) continue;
    auto raw = FileProviderItemIdentifierCodec::movedWith(other->identifier.rawValue(), old, now);
    if (!raw) continue;
    unindex(other->identifier.rawValue());
    other->identifier = NodeIdentifier(*raw);
    index(*other);
    if (other->folder) {
      other->folderState->listed = false;
    } else {
      moved.push_back({other->inode, std::string(other->identifier.rawValue()), other->name(), other->item});
    }
  }
  node->folderState->listed = false;
  return moved;
}

void NodeTable::forget(const Held&, const NodePtr& node) {
  if (times_ && !node->identifier.empty()) times_->forget(std::string(node->identifier.rawValue()));
  unindex(node->identifier.rawValue());
  node->identifier = NodeIdentifier();
}

void NodeTable::detach(const Held& held, const NodePtr& node) {
  forget(held, node);
  // The node itself stays: the kernel may still read a file that is open.
  node->unlinked = true;
  if (node->contents()) node->contents()->unlinked();
}

void NodeTable::fill(const Held&, const Node& node, struct stat& st) const {
  using namespace fileprovider;
  st = {};
  st.st_ino = node.inode;
  // Everything on the mount is its user's; asked once, not for every entry of every listing.
  static const uid_t owner = ::getuid();
  static const gid_t group = ::getgid();
  st.st_uid = owner;
  st.st_gid = group;
  const std::uint64_t capabilities = node.item ? node.item->capabilities() : ~0ULL;
  const std::uint64_t flags =
      node.item ? node.item->fileSystemFlags() : (FileSystemFlags::userReadable | FileSystemFlags::userWritable);
  const bool writable = (capabilities & ItemCapabilities::allowsWriting) && (flags & FileSystemFlags::userWritable);
  const bool readable = flags & FileSystemFlags::userReadable;
  if (node.folder) {
    st.st_mode = S_IFDIR | (readable ? 0555 : 0111) | (writable ? 0200 : 0);
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | (readable ? 0444 : 0) | (writable ? 0200 : 0) |
                 ((flags & FileSystemFlags::userExecutable) ? 0111 : 0);
    st.st_nlink = 1;
    if (auto local = node.contents() ? node.contents()->size() : std::nullopt) {
      st.st_size = *local;
    } else if (node.item && node.item->documentSize()) {
      st.st_size = static_cast<off_t>(*node.item->documentSize());
    }
  }
  // A folder's stays small: the C library sizes its buffer for a listing by it,
  // and the kernel allocates a buffer that size for every listing request.
  st.st_blksize = node.folder ? 4096 : kBlockSize;
  st.st_blocks = (st.st_size + 511) / 512;
  double modified = 0;
  if (auto given = node.localModified()) {
    modified = *given;
  } else if (node.item) {
    if (auto date = node.item->contentModificationDate()) modified = date->timeIntervalSince1970;
  }
  if (modified == 0 && node.inode == FUSE_ROOT_ID) modified = madeAt_;
  st.st_mtim = st.st_ctim = st.st_atim = timeOf(modified);
}

std::string NodeTable::pathOf(const Held& held, const NodePtr& file) const {
  std::string path;
  for (const Node* at = file.get(); at && at->inode != FUSE_ROOT_ID;) {
    path = "/" + at->name() + path;
    at = find(held, at->parent).get();
  }
  return path.empty() ? "/" : path;
}

std::vector<NodePtr> NodeTable::withFoldersAbove(const Held& held, const NodePtr& node) const {
  std::vector<NodePtr> out{node};
  for (NodePtr at = node; at && at->inode != FUSE_ROOT_ID;) {
    at = find(held, at->parent);
    if (at) out.push_back(at);
  }
  return out;
}

bool NodeTable::isBelow(const Held& held, const Node& node, const Node& folder) const {
  for (const Node* at = &node; at->inode != FUSE_ROOT_ID;) {
    at = find(held, at->parent).get();
    if (!at) return false;
    if (at == &folder) return true;
  }
  return false;
}

// The peer's paths are the mount's: the share's top folder is the root. Only
// what the table knows below a moved folder is counted; a deeper path in a
// folder never listed here is the peer's to refuse when it is reached.
int NodeTable::pathRefusal(const Held& held, const NodePtr& folder, const std::string& name,
                           const NodePtr& moved) const {
  const std::string at = pathOf(held, folder);
  std::size_t length = (at == "/" ? 0 : at.size()) + 1 + name.size();
  if (moved && moved->folder) length += longestPathBelow(held, *moved);
  return length > kVfsPathMax ? ENAMETOOLONG : 0;
}

std::size_t NodeTable::longestPathBelow(const Held& held, const Node& folder) const {
  if (!folder.folder) return 0;
  std::size_t longest = 0;
  folder.folderState->children.each([&](const Node& child) {
    std::size_t length = 1 + child.name().size();
    if (child.folder) length += longestPathBelow(held, child);
    longest = std::max(longest, length);
  });
  return longest;
}

void NodeTable::touched(const Held& held, fuse_ino_t folder) {
  if (auto found = find(held, folder); found && found->folder) found->folderState->changedAt = ++localChanges_;
}

}  // namespace corvane::framework::mount
