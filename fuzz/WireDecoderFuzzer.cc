// libFuzzer target for everything the link decodes from a peer: the input is a
// byte stream cut into frames as a connection cuts it; each frame is validated
// and, when valid, its arguments are decoded against the share stream's
// interface (the host protocol's methods and the contents methods) both as a
// call and as a reply to every method, once as generic values and once through
// the typed readers the dispatchers and proxies use. The whole input is also
// decoded as a standalone keyed archive of the transfer objects, and its first
// line as the stream's greetings and a remote address.
// Nothing here may crash, hang or read out of bounds, whatever the bytes.
#include <cstddef>
#include <cstdint>

#include "host/stream/RemoteAddress.h"
#include "host/stream/ShareStreamProtocol.h"
#include "host/stream/StreamHandshake.h"
#include "platform/xpc/Coder.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/WireFormat.h"
#include "shared/vfs_xpc/VfsChangesResultDto.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace {

void readAll(xpc::ArgumentReader& reader, const std::vector<xpc::ArgumentSpec>& specs) {
  for (const xpc::ArgumentSpec& spec : specs) {
    switch (spec.kind) {
      case xpc::ArgumentKind::boolean:
        reader.readBool();
        break;
      case xpc::ArgumentKind::uint64:
        reader.readUInt64();
        break;
      case xpc::ArgumentKind::int64:
        reader.readInt64();
        break;
      case xpc::ArgumentKind::object:
        reader.readObject();
        break;
      case xpc::ArgumentKind::data:
        reader.readData();
        break;
    }
  }
}

// What the dispatcher reads: object arguments are texts.
void readCallAsDispatcher(xpc::ArgumentReader& reader, const std::vector<xpc::ArgumentSpec>& specs) {
  for (const xpc::ArgumentSpec& spec : specs) {
    if (spec.kind == xpc::ArgumentKind::object) {
      reader.readString();
    } else {
      readAll(reader, {spec});
    }
  }
}

// What the proxy reads from the reply to `method`.
void readReplyAsProxy(xpc::ArgumentReader& reader, std::size_t method) {
  switch (static_cast<corvane::VfsXpcProtocol::Method>(method)) {
    case corvane::VfsXpcProtocol::kListDirectory:
      reader.readCodableArray<corvane::VfsFileEntryDto>();
      break;
    case corvane::VfsXpcProtocol::kGetCurrentToken:
      reader.readNumber();
      break;
    case corvane::VfsXpcProtocol::kReadChanges:
      reader.readCodable<corvane::VfsChangesResultDto>();
      break;
    case corvane::VfsXpcProtocol::kStatItem:
      reader.readCodable<corvane::VfsFileEntryDto>();
      break;
    case corvane::VfsXpcProtocol::kFetchFileContents:
      reader.readURL();
      break;
    default:
      break;
  }
  using S = corvane::host::ShareStreamProtocol;
  if (method == S::kOpenFetch) {
    reader.readUInt64();
    reader.readUInt64();
    reader.readData();
  } else if (method == S::kOpenUpload) {
    reader.readUInt64();
  } else if (method == S::kReadChunk) {
    reader.readData();
  }
  reader.readError();
}

void decodeFrame(const xpc::Interface& interface, const std::uint8_t* payload, std::size_t size) {
  std::optional<xpc::wire::MessageHeader> h = xpc::wire::validateMessage(payload, size);
  if (!h) return;
  const xpc::ProtocolSpec& protocol = interface.protocol();
  if (h->kind == xpc::wire::MessageKind::call) {
    std::optional<std::size_t> m = protocol.find(h->selector);
    if (m && protocol.method(*m).arguments.size() == h->argumentCount) {
      xpc::ArgumentReader reader(h->arguments, interface, *m, false);
      readAll(reader, protocol.method(*m).arguments);
      xpc::ArgumentReader typed(h->arguments, interface, *m, false);
      readCallAsDispatcher(typed, protocol.method(*m).arguments);
    }
  } else if (h->kind == xpc::wire::MessageKind::reply) {
    for (std::size_t m = 0; m < protocol.methods().size(); ++m) {
      const auto& reply = *protocol.method(m).reply;
      if (reply.size() != h->argumentCount) continue;
      xpc::ArgumentReader reader(h->arguments, interface, m, true);
      readAll(reader, reply);
      xpc::ArgumentReader typed(h->arguments, interface, m, true);
      readReplyAsProxy(typed, m);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::shared_ptr<xpc::Interface> interface = corvane::host::makeShareStreamInterface();

  xpc::wire::ByteReader stream(data, size);
  std::uint32_t length;
  while (stream.u32(length)) {
    const std::uint8_t* payload;
    if (length == 0 || length > xpc::wire::kMaxFramePayload || !stream.bytes(length, payload)) break;
    decodeFrame(*interface, payload, length);
  }

  static const xpc::ClassSet kAll{&xpc::classes::NSArray,
                                  &xpc::classes::NSString,
                                  &xpc::classes::NSNumber,
                                  &xpc::classes::NSURL,
                                  &xpc::classes::NSError,
                                  &corvane::VfsFileEntryDto::codableClass(),
                                  &corvane::VfsFsChangeDto::codableClass(),
                                  &corvane::VfsChangesResultDto::codableClass()};
  (void)xpc::Coder::unarchive(kAll, data, size);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view line = text.substr(0, text.find('\n'));
  (void)corvane::host::parseGreeting(line);
  (void)corvane::host::parseAnswer(line);
  (void)corvane::host::parseRemoteAddress(line);
  return 0;
}
