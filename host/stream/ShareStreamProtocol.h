// ShareStreamProtocol: what a host offers over the stream to a peer on another
// machine. It adopts VfsXpcProtocol, so the share's listing, change and naming
// calls travel unchanged (a VfsXpcProtocol proxy works on this interface), and
// adds what a path cannot carry between machines: file contents, in chunks.
//
// A fetch opens a private copy on the serving side (made from one consistent
// read of the file) and answers with its first chunk; the rest is read in
// chunks at any offsets, several at once, and closed. A file that fits in the
// first chunk is closed at once: one round trip. An upload opens a staged file
// there, is written in chunks and finished: the serving side checks its size,
// makes it durable and moves it into place atomically, as a local upload does;
// a file that fits in one chunk is put whole in one call. Chunks are at most
// kMaxChunkBytes, so no request waits long behind another on the stream; the
// caller bounds how many are in flight, which bounds memory on both sides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Protocol.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

#define CORVANE_SHARE_STREAM_METHODS(X)                                                                     \
  X(kOpenFetch, openFetch, "openFetchWithPath:reply:")                                                      \
  X(kReadChunk, readChunk, "readChunkWithFetchId:offset:length:reply:")                                     \
  X(kCloseFetch, closeFetch, "closeFetchWithFetchId:reply:")                                                \
  X(kOpenUpload, openUpload, "openUploadWithReply:")                                                        \
  X(kWriteChunk, writeChunk, "writeChunkWithUploadId:offset:data:reply:")                                   \
  X(kFinishUpload, finishUpload,                                                                            \
    "finishUploadWithUploadId:size:remotePath:ifUnchanged:existing:expectedSize:expectedModifiedMs:reply:") \
  X(kCancelUpload, cancelUpload, "cancelUploadWithUploadId:reply:")                                         \
  X(kPutFile, putFile, "putFileWithPath:data:ifUnchanged:existing:expectedSize:expectedModifiedMs:reply:")

// What the far file must still be for an upload to replace it: as this side
// last saw it, or absent. The far side checks it and moves the upload into
// place in one step, so an edit made there after this side looked is never
// replaced unseen; it answers -17 "conflict" instead.
struct ExpectedFile {
  bool exists = false;
  std::uint64_t size = 0;
  std::uint64_t modifiedMs = 0;
  friend bool operator==(const ExpectedFile&, const ExpectedFile&) = default;
};

class ShareStreamProtocol {
 public:
  using Error = std::optional<foundation::Error>;
  using ErrorReply = std::function<void(Error error)>;
  // `head` is the file's first bytes (up to kMaxChunkBytes), valid only during
  // the call; the fetch id is 0 when the head is the whole file (the fetch is
  // closed then) or with an error (and no head).
  using OpenFetchReply =
      std::function<void(std::uint64_t fetchId, std::uint64_t size, std::optional<std::string_view> head, Error error)>;
  // The bytes are valid only during the call.
  using ChunkReply = std::function<void(std::optional<std::string_view> bytes, Error error)>;
  using OpenUploadReply = std::function<void(std::uint64_t uploadId, Error error)>;

  static constexpr std::uint64_t kMaxChunkBytes = 256 * 1024;

  // clang-format off
  enum Method : std::size_t {
    kFirst = VfsXpcProtocol::kMethodCount - 1,
#define CORVANE_SHARE_STREAM_INDEX(index, name, selector) index,
    CORVANE_SHARE_STREAM_METHODS(CORVANE_SHARE_STREAM_INDEX)
#undef CORVANE_SHARE_STREAM_INDEX
    kMethodCount
  };
  // clang-format on

  virtual ~ShareStreamProtocol() = default;

  virtual void openFetch(const std::string& path, OpenFetchReply reply) = 0;
  // Up to `length` (at most kMaxChunkBytes) bytes from `offset`; fewer only at the end.
  virtual void readChunk(std::uint64_t fetchId, std::uint64_t offset, std::uint64_t length, ChunkReply reply) = 0;
  virtual void closeFetch(std::uint64_t fetchId, ErrorReply reply) = 0;
  virtual void openUpload(OpenUploadReply reply) = 0;
  virtual void writeChunk(std::uint64_t uploadId, std::uint64_t offset, std::string_view bytes, ErrorReply reply) = 0;
  // Ends the upload whatever the answer: its staged file is in place or gone.
  virtual void finishUpload(std::uint64_t uploadId, std::uint64_t size, const std::string& remotePath,
                            std::optional<ExpectedFile> expected, ErrorReply reply) = 0;
  virtual void cancelUpload(std::uint64_t uploadId, ErrorReply reply) = 0;
  // An upload of at most kMaxChunkBytes in one call: open, write and finish.
  virtual void putFile(const std::string& remotePath, std::string_view bytes, std::optional<ExpectedFile> expected,
                       ErrorReply reply) = 0;
};

// The interface both ends use: the VfsXpcProtocol rows' allow-lists, and this
// protocol's own methods.
std::shared_ptr<xpc::Interface> makeShareStreamInterface();

}  // namespace corvane::host

template <>
struct xpc::ProtocolTraits<corvane::host::ShareStreamProtocol> {
  // "ShareStreamProtocol": VfsXpcProtocol's methods, then the contents methods.
  static const xpc::ProtocolSpec& spec();
  static std::shared_ptr<corvane::host::ShareStreamProtocol> makeProxy(xpc::RemoteChannel channel);
  // `object` answers the contents methods; `files` the methods VfsXpcProtocol declares.
  static std::shared_ptr<xpc::ExportedObject> makeDispatcher(std::shared_ptr<corvane::host::ShareStreamProtocol> object,
                                                             std::shared_ptr<corvane::VfsXpcProtocol> files);
};
