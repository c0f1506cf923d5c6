// Writes the seed corpus of the wire fuzzer into the folder named by its argument:
// one well-formed stream per message shape the link carries.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/xpc/Coder.h"
#include "platform/xpc/Message.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace {

using corvane::VfsChangesResultDto;
using corvane::VfsFileEntryDto;
using corvane::VfsFsChangeDto;

void write(const std::filesystem::path& dir, const char* name, const xpc::wire::Bytes& bytes) {
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

xpc::wire::Bytes call(const char* selector, std::initializer_list<const char*> texts) {
  auto m = xpc::MessageWriter::call(selector, true);
  m.setSequence(1);
  for (const char* t : texts) m.writeString(t);
  return std::move(m).finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  namespace sel = corvane::VfsXpcSelectors;

  write(dir, "call-stat", call(sel::statItem, {"p1", "/Docs/a.txt", "0f8fad5b-d9cb-469f-a165-70867728950e"}));
  {
    auto m = xpc::MessageWriter::call(sel::deleteItem, true);
    m.setSequence(7);
    m.writeString("p1");
    m.writeString("/Old");
    m.writeBool(true);
    m.writeString("f");
    write(dir, "call-delete", std::move(m).finish());
  }
  {
    auto m = xpc::MessageWriter::reply(2);
    m.writeCodableArray(std::optional<std::vector<std::shared_ptr<const VfsFileEntryDto>>>(
        {std::make_shared<VfsFileEntryDto>("a.txt", false, 12, 1700000000000ull),
         std::make_shared<VfsFileEntryDto>("砾帆", true, std::numeric_limits<std::uint64_t>::max(), 0)}));
    m.writeError(std::nullopt);
    write(dir, "reply-list", std::move(m).finish());
  }
  {
    // Names a share may hold: the link carries every one that is UTF-8 as it is.
    // (The stray byte of the last is the fuzzer's to move into the others.)
    auto m = xpc::MessageWriter::reply(3);
    m.writeCodableArray(std::optional<std::vector<std::shared_ptr<const VfsFileEntryDto>>>(
        {std::make_shared<VfsFileEntryDto>("a::b", false, 1, 1), std::make_shared<VfsFileEntryDto>("new\nline", false, 1, 1),
         std::make_shared<VfsFileEntryDto>("cafe\xcc\x81", false, 1, 1),
         std::make_shared<VfsFileEntryDto>("back\\slash\x01", true, 0, 0),
         std::make_shared<VfsFileEntryDto>("bad\xff.txt", false, 1, 1)}));
    m.writeError(std::nullopt);
    write(dir, "reply-list-odd-names", std::move(m).finish());
  }
  auto changes = std::make_shared<VfsChangesResultDto>(
      std::vector<std::shared_ptr<const VfsFsChangeDto>>{
          std::make_shared<VfsFsChangeDto>(std::make_shared<VfsFileEntryDto>("n", false, 1, 2)),
          std::make_shared<VfsFsChangeDto>(std::string("gone"))},
      42);
  {
    auto m = xpc::MessageWriter::reply(3);
    m.writeCodable(changes.get());
    m.writeError(std::nullopt);
    write(dir, "reply-changes", std::move(m).finish());
  }
  {
    foundation::Error inner("NSPOSIXErrorDomain", 2);
    auto m = xpc::MessageWriter::reply(4);
    m.writeError(foundation::Error("com.vandrel.corvane.vfs.xpc", -5,
                                   foundation::UserInfo{{"corvane.error.code", "not_found"},
                                                        {"n", std::int64_t{-1}},
                                                        {"NSUnderlyingError", foundation::nested(inner)}}));
    write(dir, "reply-error", std::move(m).finish());
  }
  {
    auto m = xpc::MessageWriter::reply(5);
    m.writeURL(xpc::FileURL{"/tmp/a"});
    m.writeError(std::nullopt);
    auto frames = std::move(m).finish();
    auto refusal = xpc::MessageWriter::refusal(6, "no such selector");
    frames.insert(frames.end(), refusal.begin(), refusal.end());
    write(dir, "reply-url-then-refusal", frames);
  }
  write(dir, "archive-changes", xpc::Coder::archive(xpc::Object::codable(changes)));
  std::printf("seed corpus written to %s\n", dir.c_str());
  return 0;
}
