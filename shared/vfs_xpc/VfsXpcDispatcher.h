// The exporting side of VfsXpcProtocol: decodes each incoming call, calls the
// exported object, and encodes what its reply block is given. Runs on the
// connection's queue; the object may call the reply block later, on any thread.
#pragma once

#include <memory>

#include "platform/xpc/Protocol.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane {

class VfsXpcDispatcher final : public xpc::ExportedObject {
 public:
  explicit VfsXpcDispatcher(std::shared_ptr<VfsXpcProtocol> object) : object_(std::move(object)) {}

  const xpc::ProtocolSpec& protocol() const override;
  bool invoke(std::size_t method, xpc::ArgumentReader& arguments, const xpc::ReplySender& reply) override;

 private:
  const std::shared_ptr<VfsXpcProtocol> object_;
};

}  // namespace corvane
