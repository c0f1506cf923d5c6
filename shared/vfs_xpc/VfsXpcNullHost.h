// VfsXpcNullHost: a VfsXpcProtocol that answers every call at once with success
// and nothing in it (no entries, token 0, no changes, no entry, no file). Test
// doubles and benchmark hosts derive from it and override only the calls they
// are about, so adding an operation touches none of them.
#pragma once

#include <cstdint>
#include <string>

#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane {

class VfsXpcNullHost : public VfsXpcProtocol {
 public:
  void ping(const std::string&, std::uint64_t, ErrorReply reply) override { reply(std::nullopt); }
  void listDirectory(const std::string&, const std::string&, const std::string&, EntriesReply reply) override {
    reply(std::nullopt, std::nullopt);
  }
  void getCurrentToken(const std::string&, const std::string&, TokenReply reply) override { reply(0, std::nullopt); }
  void readChanges(const std::string&, const std::string&, std::uint64_t, const std::string&,
                   ChangesReply reply) override {
    reply(nullptr, std::nullopt);
  }
  void statItem(const std::string&, const std::string&, const std::string&, EntryReply reply) override {
    reply(nullptr, std::nullopt);
  }
  void fetchFileContents(const std::string&, const std::string&, const std::string&, URLReply reply) override {
    reply(std::nullopt, std::nullopt);
  }
  void uploadFile(const std::string&, const std::string&, const std::string&, const std::string&,
                  ErrorReply reply) override {
    reply(std::nullopt);
  }
  void createDirectory(const std::string&, const std::string&, const std::string&, ErrorReply reply) override {
    reply(std::nullopt);
  }
  void deleteItem(const std::string&, const std::string&, bool, const std::string&, ErrorReply reply) override {
    reply(std::nullopt);
  }
  void renameItem(const std::string&, const std::string&, const std::string&, const std::string&,
                  ErrorReply reply) override {
    reply(std::nullopt);
  }
};

}  // namespace corvane
