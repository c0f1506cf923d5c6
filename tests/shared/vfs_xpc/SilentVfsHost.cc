// A host process for the peer-loss test: dials the endpoint given as its only
// argument, exports VfsXpcProtocol, answers ping at once and never answers
// anything else. The test kills it mid-call.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/xpc/Connection.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace {

class SilentHost final : public corvane::VfsXpcProtocol {
 public:
  void ping(const std::string&, std::uint64_t, ErrorReply reply) override { reply(std::nullopt); }
  void listDirectory(const std::string&, const std::string&, const std::string&, EntriesReply r) override { keep(r); }
  void getCurrentToken(const std::string&, const std::string&, TokenReply r) override { keep(r); }
  void readChanges(const std::string&, const std::string&, std::uint64_t, const std::string&, ChangesReply r) override {
    keep(r);
  }
  void statItem(const std::string&, const std::string&, const std::string&, EntryReply r) override { keep(r); }
  void fetchFileContents(const std::string&, const std::string&, const std::string&, URLReply r) override { keep(r); }
  void uploadFile(const std::string&, const std::string&, const std::string&, const std::string&,
                  ErrorReply r) override {
    keep(r);
  }
  void createDirectory(const std::string&, const std::string&, const std::string&, ErrorReply r) override { keep(r); }
  void deleteItem(const std::string&, const std::string&, bool, const std::string&, ErrorReply r) override { keep(r); }
  void renameItem(const std::string&, const std::string&, const std::string&, const std::string&,
                  ErrorReply r) override {
    keep(r);
  }

 private:
  template <typename F>
  void keep(F reply) {
    std::lock_guard lock(mutex_);
    kept_.push_back([reply] { (void)reply; });
  }
  std::mutex mutex_;
  std::vector<std::function<void()>> kept_;  // holds the reply blocks, never calls them
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto endpoint = xpc::ListenerEndpoint::fromText(argv[1]);
  if (!endpoint) return 2;
  auto connection = xpc::Connection::withEndpoint(*endpoint);
  connection->setExportedInterface(corvane::VfsXpcInterfaceBuilder::createInterface());
  connection->setExportedObject<corvane::VfsXpcProtocol>(std::make_shared<SilentHost>());
  connection->setInvalidationHandler([] { std::_Exit(0); });
  connection->resume();
  for (;;) ::pause();
}
