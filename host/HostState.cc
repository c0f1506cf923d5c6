#include "host/HostState.h"

#include <cstring>

#include "host/SharePath.h"
#include "platform/foundation/Sha256.h"

namespace corvane::host {
namespace {

constexpr std::string_view kMagic = "CVHS";
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kFlagCleanStop = 1;
constexpr std::size_t kDigestSize = 32;

class Writer {
 public:
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    out_.append(s);
  }
  void raw(std::string_view s) { out_.append(s); }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

// Every read checks the bytes left; a failed read poisons the reader so the
// caller can test once at the end of a group of reads.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool ok() const { return ok_; }
  std::size_t left() const { return in_.size() - pos_; }

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
  std::uint64_t u64() { return little(8); }
  bool boolean() {
    std::uint8_t v = u8();
    if (v > 1) ok_ = false;
    return v == 1;
  }
  std::string str() {
    std::uint32_t size = u32();
    return std::string(take(size));
  }
  std::string_view take(std::size_t n) {
    static const char kZeros[8] = {};
    if (!ok_ || n > left()) {
      ok_ = false;
      return std::string_view(kZeros, n <= sizeof kZeros ? n : 0);
    }
    std::string_view part = in_.substr(pos_, n);
    pos_ += n;
    return part;
  }

 private:
  std::uint64_t little(int n) {
    std::string_view b = take(static_cast<std::size_t>(n));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
      v |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(b[i])) << (8 * i);
    }
    return v;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

bool isCanonicalPath(const std::string& text, bool allowRoot) {
  auto parsed = SharePath::parse(text);
  return parsed.ok() && parsed->text() == text && (allowRoot || !parsed->isRoot());
}

// Smallest encodings, used to refuse counts that the remaining bytes cannot hold
// before anything is allocated for them.
constexpr std::size_t kMinRecordBytes = 8 + 1 + 4 + 4;
constexpr std::size_t kMinSnapshotBytes = 4 + 1 + 8 + 8 + 8;

}  // namespace

std::string encodeHostState(const HostState& state) {
  Writer w;
  w.raw(kMagic);
  w.u32(kVersion);
  w.u32(state.cleanStop ? kFlagCleanStop : 0);
  w.u64(state.current);
  w.u64(state.floor);
  w.u64(state.ceiling);
  w.str(state.rootPath);
  w.u64(state.rootDevice);
  w.u64(state.rootInode);
  w.u32(static_cast<std::uint32_t>(state.records.size()));
  for (const JournalRecord& r : state.records) {
    w.u64(r.token);
    w.u8(r.change.isRemoved ? 1 : 0);
    w.str(r.folder);
    w.str(r.change.name());
    if (!r.change.isRemoved) {
      w.u8(r.change.entry->isDir ? 1 : 0);
      w.u64(r.change.entry->size);
      w.u64(r.change.entry->modifiedMs);
    }
  }
  w.u32(static_cast<std::uint32_t>(state.snapshot.size()));
  for (const auto& [path, e] : state.snapshot) {
    w.str(path);
    w.u8(e.isDir ? 1 : 0);
    w.u64(e.size);
    w.u64(e.mtimeNs);
    w.u64(e.inode);
  }
  foundation::Data digest = foundation::sha256(w.bytes());
  w.raw(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  return std::move(w.bytes());
}

std::optional<HostState> decodeHostState(std::string_view bytes) {
  if (bytes.size() < kMagic.size() + kDigestSize) return std::nullopt;
  std::string_view body = bytes.substr(0, bytes.size() - kDigestSize);
  foundation::Data digest = foundation::sha256(body);
  if (std::memcmp(digest.data(), bytes.data() + body.size(), kDigestSize) != 0) {
    return std::nullopt;
  }

  Reader r(body);
  if (r.take(kMagic.size()) != kMagic || r.u32() != kVersion) return std::nullopt;
  std::uint32_t flags = r.u32();
  if ((flags & ~kFlagCleanStop) != 0) return std::nullopt;
  HostState state;
  state.cleanStop = (flags & kFlagCleanStop) != 0;
  state.current = r.u64();
  state.floor = r.u64();
  state.ceiling = r.u64();
  state.rootPath = r.str();
  state.rootDevice = r.u64();
  state.rootInode = r.u64();
  if (!r.ok() || state.floor > state.current || state.current > state.ceiling) return std::nullopt;

  std::uint32_t recordCount = r.u32();
  if (!r.ok() || recordCount > r.left() / kMinRecordBytes) return std::nullopt;
  std::uint64_t lastToken = state.floor;
  for (std::uint32_t i = 0; i < recordCount; ++i) {
    JournalRecord record;
    record.token = r.u64();
    std::uint8_t kind = r.u8();
    record.folder = r.str();
    std::string name = r.str();
    if (!r.ok() || kind > 1 || record.token <= lastToken || record.token > state.current ||
        !isCanonicalPath(record.folder, true) || !SharePath::isValidName(name)) {
      return std::nullopt;
    }
    if (kind == 1) {
      record.change = HostFsChange::removed(std::move(name));
    } else {
      HostFileEntry entry;
      entry.name = std::move(name);
      entry.isDir = r.boolean();
      entry.size = r.u64();
      entry.modifiedMs = r.u64();
      record.change = HostFsChange::added(std::move(entry));
    }
    if (!r.ok()) return std::nullopt;
    lastToken = record.token;
    state.records.push_back(std::move(record));
  }

  std::uint32_t snapshotCount = r.u32();
  if (!r.ok() || snapshotCount > r.left() / kMinSnapshotBytes) return std::nullopt;
  for (std::uint32_t i = 0; i < snapshotCount; ++i) {
    std::string path = r.str();
    SnapshotEntry e;
    e.isDir = r.boolean();
    e.size = r.u64();
    e.mtimeNs = r.u64();
    e.inode = r.u64();
    if (!r.ok() || !isCanonicalPath(path, false)) return std::nullopt;
    if (!state.snapshot.empty() && state.snapshot.rbegin()->first >= path) return std::nullopt;
    state.snapshot.emplace_hint(state.snapshot.end(), std::move(path), e);
  }
  if (!r.ok() || r.left() != 0) return std::nullopt;
  return state;
}

}  // namespace corvane::host
