#include "tests/framework/FileExerciser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <vector>

namespace corvane::testing {
namespace {

constexpr int kNames = 4;
constexpr int kFolders = 3;
constexpr std::size_t kMaxHandles = 6;
constexpr std::size_t kMaxMappings = 3;
constexpr std::size_t kRecent = 100;

// Names a folder on another system may hand over, each a way to be lost on
// the way: bytes that are not UTF-8 (a stray byte, a UTF-16 surrogate, an
// overlong "/"), control characters and a line feed, one word in its composed
// and decomposed forms (two names, not one), the longest name a Linux folder
// keeps and one byte more, and the identifier's own separator and a backslash.
const std::string kNotUtf8[] = {"bad\xff.txt", "\xed\xa0\x80.txt", "\xc0\xaf.txt"};
const std::string kOddNames[] = {
    kNotUtf8[0],   kNotUtf8[1],     kNotUtf8[2],           "ctl\x01\x1f",        "new\nline", "caf\xc3\xa9",
    "cafe\xcc\x81", std::string(255, 'n'), std::string(256, 'n'), "a::b",         "back\\slash",
};

// One file's bytes, shared by the handles open on it, and every state it went
// through since a close, an fsync or a truncate by path last made it durable:
// a crash may leave any of these, and no older one. Absent: it may not exist.
struct ModelFile {
  std::string bytes;
  std::vector<std::optional<std::string>> sinceDurable;
  void changed() { sinceDurable.push_back(bytes); }
  void durable() { sinceDurable = {bytes}; }
};
using FilePtr = std::shared_ptr<ModelFile>;

struct Handle {
  int fd = -1;
  FilePtr file;
  int access = O_RDONLY;
  bool append = false;
  bool readable() const { return access != O_WRONLY; }
  bool writable() const { return access != O_RDONLY; }
};

struct Mapping {
  char* at = nullptr;
  std::size_t length = 0;
  FilePtr file;
  bool writable = false;
};

class Exerciser {
 public:
  Exerciser(const ExerciserTarget& target, const ExerciserRun& run) : target_(target), run_(run), random_(run.seed) {}

  ExerciserOutcome go() {
    for (step_ = 1; step_ <= run_.operations && failure_.empty(); ++step_) {
      disruptOrDoOne();
      if (failure_.empty()) checkSizes();
    }
    if (away_) hostBack();
    closeEverything();
    if (failure_.empty()) verifyEveryFile("at the end");
    return {failure_, counts_};
  }

 private:
  using Op = void (Exerciser::*)();

  // However short the run, each disruption the target offers happens at
  // least once: the host away from an eighth of the way, a remount from a
  // quarter, a kill from half, a host restart from three quarters; more come
  // at random.
  void disruptOrDoOne() {
    if (away_) return step_ >= backAt_ ? hostBack() : one();
    // From its step on, once the host is back if it was away then.
    const int quarter = run_.operations / 4;
    if (step_ >= quarter / 2 && target_.stopHost && !counts_.count("host away")) return hostAway();
    if (step_ >= quarter && target_.remount && !counts_.count("remount")) return remount();
    if (step_ >= 2 * quarter && target_.crash && !counts_.count("kill -9 the mount")) return crash();
    if (step_ >= 3 * quarter && target_.restartHost && !counts_.count("restart the host")) return restartHost();
    one();
  }

  // Weights: the common calls often, the slow and drastic ones seldom.
  void one() {
    static const std::pair<Op, int> kOps[] = {
        {&Exerciser::openOne, 10},    {&Exerciser::closeOne, 7},       {&Exerciser::readOne, 12},
        {&Exerciser::writeOne, 14},   {&Exerciser::ftruncateOne, 3},   {&Exerciser::truncateOne, 2},
        {&Exerciser::mapOne, 3},      {&Exerciser::mappedReadOne, 4},  {&Exerciser::mappedWriteOne, 5},
        {&Exerciser::unmapOne, 3},    {&Exerciser::fsyncOne, 2},       {&Exerciser::renameOne, 2},
        {&Exerciser::unlinkOne, 1},   {&Exerciser::childWriteOne, 1},  {&Exerciser::childReadOne, 1},
        {&Exerciser::rereadOne, 3},   {&Exerciser::mkdirOne, 1},       {&Exerciser::rmdirOne, 1},
        {&Exerciser::renameFolderOne, 4},
    };
    if (!away_) {
      if (chance(150) && target_.peerBytes) return syncAndCompare();
      if (chance(700) && target_.remount) return remount();
      if (chance(900) && target_.crash) return crash();
      if (chance(800) && target_.restartHost) return restartHost();
      // Only in the first half: a spell never keeps the run's last disruptions out.
      if (chance(700) && target_.stopHost && step_ < run_.operations / 2) return hostAway();
    }
    int total = 0;
    for (const auto& [op, weight] : kOps) total += weight;
    int pick = below(total);
    for (const auto& [op, weight] : kOps) {
      if ((pick -= weight) >= 0) continue;
      if (away_ && needsPeer(op)) return;
      return (this->*op)();
    }
  }

  // A mapped page, or another process's open, may need the peer's bytes, which
  // a kernel without them can only answer with SIGBUS or a failed child.
  static bool needsPeer(Op op) {
    for (Op risky : {&Exerciser::mapOne, &Exerciser::mappedReadOne, &Exerciser::mappedWriteOne,
                     &Exerciser::childWriteOne, &Exerciser::childReadOne}) {
      if (op == risky) return true;
    }
    return false;
  }

  // Randomness, all from the seed.
  int below(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }
  bool chance(int oneIn) { return below(oneIn) == 0; }
  std::size_t offsetIn(std::size_t size) {
    if (chance(10)) return size + static_cast<std::size_t>(below(200000));  // well past the end: a hole
    return static_cast<std::size_t>(below(static_cast<int>(size) + 8192));
  }
  std::size_t length() { return chance(8) ? 1 + below(70000) : 1 + below(9000); }
  std::string bytes(std::size_t n) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      const std::uint64_t word = random_();
      std::memcpy(out.data() + i, &word, std::min<std::size_t>(8, n - i));
    }
    return out;
  }
  // A file's path below the folder: in it, or in one of the folders made in it.
  std::string someName() {
    std::string in;
    if (!folders_.empty() && chance(3)) in = *std::next(folders_.begin(), below(static_cast<int>(folders_.size()))) + "/";
    if (in.empty()) in = target_.ownPrefix;
    if (chance(6)) return in + kOddNames[below(static_cast<int>(std::size(kOddNames)))];
    return in + "f" + std::to_string(below(kNames));
  }
  std::string someFolder() { return target_.ownPrefix + "d" + std::to_string(below(kFolders)); }
  static std::string folderOf(const std::string& name) {
    const auto slash = name.find('/');
    return slash == std::string::npos ? "" : name.substr(0, slash);
  }
  static std::string baseOf(const std::string& name) { return name.substr(name.find('/') + 1); }
  // The errno the folder refuses to make `name` with; 0 when it keeps it.
  int refusalOf(const std::string& path) const {
    const std::string name = baseOf(path);
    if (target_.refusal) return target_.refusal(name);
    return name.size() > 255 ? ENAMETOOLONG : 0;
  }
  // For a call that must fail with `err`: true when it did.
  bool refused(bool failed, int err, const std::string& what) {
    if (failed && (errno == err || (away_ && errno == EIO))) return true;
    fail(what + (failed ? std::string(" failed with ") + std::strerror(errno) : std::string(" succeeded")) +
         ", but the name must be refused with " + std::strerror(err));
    return false;
  }
  template <typename T>
  T* pick(std::vector<T>& from, bool (*fits)(const T&) = nullptr) {
    std::vector<T*> candidates;
    for (auto& one : from) {
      if (!fits || fits(one)) candidates.push_back(&one);
    }
    return candidates.empty() ? nullptr : candidates[below(static_cast<int>(candidates.size()))];
  }

  std::filesystem::path pathOf(const std::string& name) const { return target_.folder / name; }
  std::optional<std::string> nameOf(const FilePtr& file) const {
    for (const auto& [name, model] : files_) {
      if (model == file) return name;
    }
    return std::nullopt;
  }
  std::string label(const Handle& handle) const {
    return "fd " + std::to_string(handle.fd) + " (" + nameOf(handle.file).value_or("unlinked") + ")";
  }

  void did(const std::string& kind, const std::string& detail) {
    ++counts_[kind];
    recent_.push_back("#" + std::to_string(step_) + " " + kind + " " + detail);
    if (recent_.size() > kRecent) recent_.pop_front();
  }
  void fail(const std::string& what) {
    if (!failure_.empty()) return;
    std::ostringstream out;
    out << "seed " << run_.seed << ", step " << step_ << ": " << what << "\nthe operations before it:\n";
    for (const auto& line : recent_) out << "  " << line << "\n";
    failure_ = out.str();
  }
  bool expectOk(bool ok, const std::string& call) {
    if (!ok && away_ && errno == EIO) {
      did("failed while the host was away", call);
      return false;
    }
    if (!ok) fail(call + " failed: " + std::strerror(errno));
    return ok;
  }
  void expectBytes(const std::string& got, const std::string& want, std::size_t at, const std::string& how) {
    if (got == want) return;
    std::size_t differs = 0;
    while (differs < std::min(got.size(), want.size()) && got[differs] == want[differs]) ++differs;
    fail(how + " at " + std::to_string(at) + " gave " + std::to_string(got.size()) + " bytes, expected " +
         std::to_string(want.size()) + "; first difference at +" + std::to_string(differs));
  }

  static void writeInto(ModelFile& file, std::size_t at, const std::string& data) {
    if (file.bytes.size() < at + data.size()) file.bytes.resize(at + data.size(), '\0');
    std::memcpy(file.bytes.data() + at, data.data(), data.size());
  }

  std::optional<std::string> readWhole(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
  }

  // After every step: each handle's fstat and each name's stat give the model's size.
  void checkSizes() {
    struct stat st {};
    for (const auto& handle : handles_) {
      if (!expectOk(::fstat(handle.fd, &st) == 0, "fstat")) return;
      if (static_cast<std::size_t>(st.st_size) != handle.file->bytes.size()) {
        return fail("fstat of " + label(handle) + " gave size " + std::to_string(st.st_size) + ", expected " +
                    std::to_string(handle.file->bytes.size()));
      }
    }
    for (const auto& [name, file] : files_) {
      if (!expectOk(::stat(pathOf(name).c_str(), &st) == 0, "stat " + name)) return;
      if (static_cast<std::size_t>(st.st_size) != file->bytes.size()) {
        return fail("stat " + name + " gave size " + std::to_string(st.st_size) + ", expected " +
                    std::to_string(file->bytes.size()));
      }
    }
  }

  // The files below the folder, by path, and the folders in it, with a "/".
  std::set<std::string> listed(const std::string& in = "") {
    std::set<std::string> names;
    if (DIR* folder = ::opendir((target_.folder / in).c_str())) {
      while (dirent* entry = ::readdir(folder)) {
        const std::string name = in.empty() ? entry->d_name : in + "/" + entry->d_name;
        const bool others = (!target_.othersPrefix.empty() && name.rfind(target_.othersPrefix, 0) == 0) ||
                            (in.empty() && name.rfind(target_.ownPrefix, 0) != 0);
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 || others) continue;
        if (entry->d_type != DT_DIR) {
          names.insert(name);
        } else if (in.empty()) {
          names.insert(name + "/");
          names.merge(listed(name));
        }
      }
      ::closedir(folder);
    }
    return names;
  }
  // What listed() should give.
  std::set<std::string> modelNames() const {
    std::set<std::string> names;
    for (const auto& [name, file] : files_) names.insert(name);
    for (const auto& folder : folders_) names.insert(folder + "/");
    return names;
  }

  void openOne() {
    if (handles_.size() >= kMaxHandles) return closeOne();
    const std::string name = someName();
    const bool exists = files_.count(name) > 0;
    Handle handle;
    handle.access = std::array{O_RDONLY, O_WRONLY, O_RDWR}[below(3)];
    if (!exists) {
      if (const int err = refusalOf(name)) {
        did("create a refused name", name);
        (void)refused(::open(pathOf(name).c_str(), handle.access | O_CREAT, 0644) < 0, err, "create " + name);
        return;
      }
    }
    int flags = handle.access | (exists ? 0 : O_CREAT);
    const bool truncating = exists && handle.writable() && chance(6);
    if (truncating) flags |= O_TRUNC;
    if (handle.writable() && chance(6)) {
      flags |= O_APPEND;
      handle.append = true;
    }
    handle.fd = ::open(pathOf(name).c_str(), flags, 0644);
    did("open", name + " flags " + std::to_string(flags) + " as fd " + std::to_string(handle.fd));
    if (!expectOk(handle.fd >= 0, "open " + name)) return;
    if (!exists) {
      files_[name] = std::make_shared<ModelFile>();
      files_[name]->sinceDurable = {std::nullopt, std::string()};
    }
    handle.file = files_[name];
    if (truncating) {
      handle.file->bytes.clear();
      handle.file->changed();
    }
    handles_.push_back(handle);
  }

  void closeHandle(std::size_t index) {
    Handle handle = handles_[index];
    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
    if (expectOk(::close(handle.fd) == 0, "close") && handle.writable()) handle.file->durable();
  }

  void closeOne() {
    if (handles_.empty()) return;
    const auto index = static_cast<std::size_t>(below(static_cast<int>(handles_.size())));
    did("close", label(handles_[index]));
    closeHandle(index);
  }

  void readOne() {
    Handle* handle = pick<Handle>(handles_, [](const Handle& h) { return h.readable(); });
    if (!handle) return openOne();
    const std::size_t size = handle->file->bytes.size();
    const std::size_t at = offsetIn(size), want = length();
    const bool positioned = chance(3);
    did(positioned ? "read" : "pread", std::to_string(want) + " at " + std::to_string(at) + " " + label(*handle));
    std::string got(want, '\0');
    ssize_t n;
    if (positioned) {
      if (!expectOk(::lseek(handle->fd, static_cast<off_t>(at), SEEK_SET) >= 0, "lseek")) return;
      n = ::read(handle->fd, got.data(), want);
    } else {
      n = ::pread(handle->fd, got.data(), want, static_cast<off_t>(at));
    }
    if (!expectOk(n >= 0, "read")) return;
    got.resize(static_cast<std::size_t>(n));
    expectBytes(got, at < size ? handle->file->bytes.substr(at, want) : std::string(), at, "a read");
  }

  void writeOne() {
    Handle* handle = pick<Handle>(handles_, [](const Handle& h) { return h.writable(); });
    if (!handle) return openOne();
    ModelFile& file = *handle->file;
    // With O_APPEND every write goes to the end, pwrite's too (Linux).
    const std::size_t at = handle->append ? file.bytes.size() : offsetIn(file.bytes.size());
    const std::string data = bytes(length());
    const bool positioned = chance(3);
    did(positioned ? "write" : "pwrite", std::to_string(data.size()) + " at " + std::to_string(at) + " " + label(*handle));
    ssize_t n;
    if (positioned) {
      if (!expectOk(::lseek(handle->fd, static_cast<off_t>(at), SEEK_SET) >= 0, "lseek")) return;
      n = ::write(handle->fd, data.data(), data.size());
    } else {
      n = ::pwrite(handle->fd, data.data(), data.size(), static_cast<off_t>(at));
    }
    if (!expectOk(n == static_cast<ssize_t>(data.size()), "write")) return;
    writeInto(file, at, data);
    file.changed();
  }

  void resize(ModelFile& file, std::size_t size) {
    file.bytes.resize(size, '\0');
    file.changed();
  }

  void ftruncateOne() {
    Handle* handle = pick<Handle>(handles_, [](const Handle& h) { return h.writable(); });
    if (!handle) return openOne();
    const std::size_t size = static_cast<std::size_t>(below(static_cast<int>(handle->file->bytes.size()) * 2 + 4096));
    did("ftruncate", std::to_string(size) + " " + label(*handle));
    if (expectOk(::ftruncate(handle->fd, static_cast<off_t>(size)) == 0, "ftruncate")) resize(*handle->file, size);
  }

  void truncateOne() {
    const std::string name = someName();
    auto found = files_.find(name);
    if (found == files_.end()) return openOne();
    const std::size_t size = static_cast<std::size_t>(below(static_cast<int>(found->second->bytes.size()) * 2 + 4096));
    did("truncate", name + " to " + std::to_string(size));
    if (!expectOk(::truncate(pathOf(name).c_str(), static_cast<off_t>(size)) == 0, "truncate")) return;
    ModelFile& file = *found->second;
    resize(file, size);
    const bool mapped = std::any_of(mappings_.begin(), mappings_.end(),
                                    [&](const Mapping& m) { return m.writable && m.file == found->second; });
    if (!mapped) return file.durable();
    // The kernel writes a mapping's pages back in its own time, and a truncate
    // by path does not wait for them: a crash may find the new size over the
    // bytes of any state since the last durable one.
    std::vector<std::optional<std::string>> states;
    for (const auto& state : file.sinceDurable) {
      if (!state) continue;
      states.push_back(*state);
      states.back()->resize(size, '\0');
    }
    states.push_back(file.bytes);
    file.sinceDurable = std::move(states);
  }

  void mapOne() {
    if (mappings_.size() >= kMaxMappings) return unmapOne();
    Handle* handle = pick<Handle>(handles_, [](const Handle& h) { return h.readable() && !h.file->bytes.empty(); });
    if (!handle) return openOne();
    Mapping mapping;
    mapping.file = handle->file;
    mapping.writable = handle->access == O_RDWR;
    mapping.length = handle->file->bytes.size();
    did("mmap", std::string(mapping.writable ? "rw " : "r ") + std::to_string(mapping.length) + " " + label(*handle));
    void* at = ::mmap(nullptr, mapping.length, PROT_READ | (mapping.writable ? PROT_WRITE : 0), MAP_SHARED, handle->fd, 0);
    if (!expectOk(at != MAP_FAILED, "mmap")) return;
    mapping.at = static_cast<char*>(at);
    mappings_.push_back(mapping);
    // Half the time the descriptor goes at once: the mapping outlives it.
    if (chance(2)) {
      did("close", "after mmap");
      closeHandle(static_cast<std::size_t>(handle - handles_.data()));
    }
  }

  // The part of a mapping that is inside the file now, checked against the real
  // size first: touching a page past the end would raise SIGBUS.
  std::size_t mappedSpan(const Mapping& mapping) {
    const auto name = nameOf(mapping.file);
    if (!name) return 0;  // unlinked: no path to check its size by
    struct stat st {};
    if (!expectOk(::stat(pathOf(*name).c_str(), &st) == 0, "stat")) return 0;
    if (static_cast<std::size_t>(st.st_size) != mapping.file->bytes.size()) {
      fail("stat before a mapped access gave " + std::to_string(st.st_size));
      return 0;
    }
    return std::min(mapping.length, mapping.file->bytes.size());
  }

  void mappedReadOne() {
    Mapping* mapping = pick<Mapping>(mappings_);
    if (!mapping) return mapOne();
    const std::size_t span = mappedSpan(*mapping);
    if (span == 0) return;
    const std::size_t at = static_cast<std::size_t>(below(static_cast<int>(span)));
    const std::size_t n = std::min(length(), span - at);
    did("mapped read", std::to_string(n) + " at " + std::to_string(at) + " of " + *nameOf(mapping->file));
    expectBytes(std::string(mapping->at + at, n), mapping->file->bytes.substr(at, n), at, "a mapped read");
  }

  void mappedWriteOne() {
    Mapping* mapping = pick<Mapping>(mappings_, [](const Mapping& m) { return m.writable; });
    if (!mapping) return mapOne();
    const std::size_t span = mappedSpan(*mapping);
    if (span == 0) return;
    const std::size_t at = static_cast<std::size_t>(below(static_cast<int>(span)));
    const std::string data = bytes(std::min(length(), span - at));
    const bool synced = chance(3);
    did(synced ? "mapped write+msync" : "mapped write",
        std::to_string(data.size()) + " at " + std::to_string(at) + " of " + *nameOf(mapping->file));
    std::memcpy(mapping->at + at, data.data(), data.size());
    writeInto(*mapping->file, at, data);
    mapping->file->changed();
    if (synced && expectOk(::msync(mapping->at, mapping->length, MS_SYNC) == 0, "msync")) mapping->file->durable();
  }

  void unmapOne() {
    if (mappings_.empty()) return;
    const auto index = static_cast<std::size_t>(below(static_cast<int>(mappings_.size())));
    did("munmap", std::to_string(mappings_[index].length) + " of " + nameOf(mappings_[index].file).value_or("unlinked"));
    expectOk(::munmap(mappings_[index].at, mappings_[index].length) == 0, "munmap");
    mappings_.erase(mappings_.begin() + static_cast<std::ptrdiff_t>(index));
  }

  void fsyncOne() {
    Handle* handle = pick<Handle>(handles_);
    if (!handle) return openOne();
    const bool data = chance(2);
    did(data ? "fdatasync" : "fsync", label(*handle));
    if (expectOk((data ? ::fdatasync(handle->fd) : ::fsync(handle->fd)) == 0, "fsync")) handle->file->durable();
  }

  void renameOne() {
    const std::string from = someName(), to = someName();
    if (!files_.count(from) || from == to) return;
    if (const int err = refusalOf(to)) {
      did("rename to a refused name", from + " -> " + to);
      (void)refused(::rename(pathOf(from).c_str(), pathOf(to).c_str()) != 0, err, "rename to " + to);
      return;
    }
    if (folderOf(from) != folderOf(to) && target_.crossFolderRename) {
      did("rename into another folder", from + " -> " + to);
      (void)refused(::rename(pathOf(from).c_str(), pathOf(to).c_str()) != 0, target_.crossFolderRename,
                    "rename to " + to);
      return;
    }
    did("rename", from + " -> " + to + (files_.count(to) ? " (replacing)" : ""));
    if (!expectOk(::rename(pathOf(from).c_str(), pathOf(to).c_str()) == 0, "rename")) return;
    files_[to] = files_[from];
    files_.erase(from);
  }

  void mkdirOne() {
    const std::string name = someFolder();
    did("mkdir", name);
    if (folders_.count(name)) {
      (void)refused(::mkdir(pathOf(name).c_str(), 0755) != 0, EEXIST, "mkdir " + name);
    } else if (expectOk(::mkdir(pathOf(name).c_str(), 0755) == 0, "mkdir " + name)) {
      folders_.insert(name);
    }
  }

  bool holdsFiles(const std::string& folder) const {
    auto in = files_.lower_bound(folder + "/");
    return in != files_.end() && in->first.rfind(folder + "/", 0) == 0;
  }

  void rmdirOne() {
    const std::string name = someFolder();
    if (!folders_.count(name)) return;
    did("rmdir", name);
    if (holdsFiles(name)) {
      (void)refused(::rmdir(pathOf(name).c_str()) != 0, ENOTEMPTY, "rmdir " + name);
    } else if (expectOk(::rmdir(pathOf(name).c_str()) == 0, "rmdir " + name)) {
      folders_.erase(name);
    }
  }

  // Onto a free name, with its files, open and mapped ones too.
  void renameFolderOne() {
    const std::string from = someFolder(), to = someFolder();
    if (!folders_.count(from) || folders_.count(to)) return;
    did("rename a folder", from + " -> " + to);
    if (!expectOk(::rename(pathOf(from).c_str(), pathOf(to).c_str()) == 0, "rename " + from)) return;
    folders_.erase(from);
    folders_.insert(to);
    std::map<std::string, FilePtr> moved;
    for (auto it = files_.begin(); it != files_.end();) {
      if (folderOf(it->first) != from) {
        ++it;
        continue;
      }
      moved[to + "/" + baseOf(it->first)] = it->second;
      it = files_.erase(it);
    }
    files_.merge(moved);
  }

  void unlinkOne() {
    const std::string name = someName();
    if (!files_.count(name)) return;
    did("unlink", name);
    if (expectOk(::unlink(pathOf(name).c_str()) == 0, "unlink")) files_.erase(name);
  }

  // Runs `body` in a child process; its exit status, 0 when it did what it should.
  int inChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void childWriteOne() {
    const std::string name = someName();
    auto found = files_.find(name);
    if (found == files_.end()) return;
    const std::size_t at = offsetIn(found->second->bytes.size());
    const std::string data = bytes(length());
    const std::string path = pathOf(name);
    did("write from another process", std::to_string(data.size()) + " at " + std::to_string(at) + " of " + name);
    const int status = inChild([&] {
      const int fd = ::open(path.c_str(), O_WRONLY);
      if (fd < 0) return 1;
      const bool wrote = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)) == static_cast<ssize_t>(data.size());
      return ::close(fd) == 0 && wrote ? 0 : 2;
    });
    if (status != 0) return fail("the other process's write failed: " + std::to_string(status));
    writeInto(*found->second, at, data);
    found->second->durable();
  }

  void childReadOne() {
    const std::string name = someName();
    auto found = files_.find(name);
    if (found == files_.end()) return;
    const std::string want = found->second->bytes;
    std::string buffer(want.size() + 1, '\0');
    const std::string path = pathOf(name);
    did("read from another process", name);
    const int status = inChild([&] {
      const int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0) return 1;
      std::size_t got = 0;
      for (ssize_t n; got < buffer.size() && (n = ::read(fd, buffer.data() + got, buffer.size() - got)) > 0;) {
        got += static_cast<std::size_t>(n);
      }
      ::close(fd);
      return got == want.size() && std::memcmp(buffer.data(), want.data(), got) == 0 ? 0 : 2;
    });
    if (status != 0) fail("another process read " + name + " differently from the model (" + std::to_string(status) + ")");
  }

  void rereadOne() {
    const std::string name = someName();
    auto found = files_.find(name);
    if (found == files_.end()) return;
    did("read whole", name);
    auto got = readWhole(pathOf(name));
    if (!expectOk(got.has_value(), "open " + name)) return;
    expectBytes(*got, found->second->bytes, 0, "a fresh read of " + name);
  }

  void syncAndCompare() {
    did("sync and compare the peer", std::to_string(files_.size()) + " files");
    for (const auto& [name, file] : files_) {
      const int fd = ::open(pathOf(name).c_str(), O_RDONLY);
      if (!expectOk(fd >= 0, "open " + name)) return;
      const bool synced = ::fsync(fd) == 0;
      ::close(fd);
      if (!expectOk(synced, "fsync " + name)) return;
      file->durable();
    }
    for (const auto& [name, file] : files_) {
      auto peer = target_.peerBytes(name);
      if (!peer) return fail("the peer has no " + name);
      expectBytes(*peer, file->bytes, 0, "the peer's " + name);
    }
  }

  void closeEverything() {
    while (!mappings_.empty()) {
      ::munmap(mappings_.back().at, mappings_.back().length);
      mappings_.pop_back();
    }
    while (!handles_.empty()) closeHandle(handles_.size() - 1);
  }

  void verifyEveryFile(const std::string& when) {
    std::string shown, model;
    for (const auto& name : listed()) shown += " " + name;
    for (const auto& name : modelNames()) model += " " + name;
    if (shown != model) return fail("the folder lists" + shown + " " + when + ", the model" + model);
    for (const auto& [name, file] : files_) {
      auto got = readWhole(pathOf(name));
      if (!expectOk(got.has_value(), "open " + name + " " + when)) return;
      expectBytes(*got, file->bytes, 0, name + " " + when);
    }
  }

  void remount() {
    did("remount", "");
    closeEverything();
    target_.remount();
    verifyEveryFile("after a remount");
  }

  void restartHost() {
    did("restart the host", "");
    target_.restartHost();
  }

  // For 20 to 80 steps: closes and writes go on, and are sent once it is back.
  void hostAway() {
    did("host away", std::to_string(handles_.size()) + " handles open");
    target_.stopHost();
    away_ = true;
    backAt_ = step_ + 20 + below(60);
  }
  void hostBack() {
    did("host back", "");
    target_.startHost();
    away_ = false;
  }

  // Handles stay open across the kill: what they wrote since the last close
  // may be lost, nothing before it.
  void crash() {
    did("kill -9 the mount", std::to_string(handles_.size()) + " handles, " + std::to_string(mappings_.size()) +
                                 " mappings open");
    target_.crash();
    for (auto& mapping : mappings_) ::munmap(mapping.at, mapping.length);
    mappings_.clear();
    for (auto& handle : handles_) ::close(handle.fd);
    handles_.clear();
    const auto names = listed();
    const auto model = modelNames();
    for (const auto& name : names) {
      if (!model.count(name)) return fail("after the crash the folder holds " + name + ", which was removed");
    }
    for (const auto& folder : folders_) {
      if (!names.count(folder + "/")) return fail("after the crash the folder " + folder + " is gone");
    }
    for (auto it = files_.begin(); it != files_.end();) {
      errno = 0;
      auto got = names.count(it->first) ? readWhole(pathOf(it->first)) : std::nullopt;
      const auto& allowed = it->second->sinceDurable;
      if (std::find(allowed.begin(), allowed.end(), got) == allowed.end()) {
        fail("after the crash " + it->first + " holds " +
             (got ? std::to_string(got->size()) + " bytes"
                  : names.count(it->first) ? std::string("nothing: ") + std::strerror(errno) : "nothing: not listed") +
             ", none of the " + std::to_string(allowed.size()) + " states since it was last closed");
        return;
      }
      if (!got) {
        it = files_.erase(it);
        continue;
      }
      it->second->bytes = *got;
      it->second->durable();
      ++it;
    }
  }

  const ExerciserTarget& target_;
  const ExerciserRun run_;
  std::mt19937_64 random_;
  int step_ = 0;
  bool away_ = false;  // the host is stopped, until step backAt_
  int backAt_ = 0;
  std::map<std::string, FilePtr> files_;  // by path below the folder
  std::set<std::string> folders_;         // made in the folder
  std::vector<Handle> handles_;
  std::vector<Mapping> mappings_;
  std::deque<std::string> recent_;
  std::map<std::string, std::uint64_t> counts_;
  std::string failure_;
};

}  // namespace

bool isNotUtf8(const std::string& name) {
  return std::any_of(std::begin(kNotUtf8), std::end(kNotUtf8), [&](const std::string& bad) {
    return name.size() >= bad.size() && name.compare(name.size() - bad.size(), bad.size(), bad) == 0;
  });
}

ExerciserOutcome exercise(const ExerciserTarget& target, const ExerciserRun& run) {
  return Exerciser(target, run).go();
}

}  // namespace corvane::testing
