// VfsFileEntryDto: one file or folder as the host's VFS service describes it, in
// replies to listing, stat and change queries. Immutable; shared between threads
// freely. Travels by keyed secure coding under the class name "VfsFileEntryDto".
#pragma once

#include <cstdint>
#include <string>

#include "platform/xpc/Codable.h"
#include "platform/xpc/Coder.h"

namespace corvane {

class VfsFileEntryDto final : public xpc::Codable {
 public:
  static constexpr bool supportsSecureCoding = true;

  // initWithName:isDir:size:modifiedMs:
  VfsFileEntryDto(std::string name, bool isDir, std::uint64_t size, std::uint64_t modifiedMs);
  // initWithCoder: never fails; a missing "name" gives "", missing numbers give 0.
  explicit VfsFileEntryDto(xpc::Coder& coder);

  static const xpc::ClassInfo& codableClass();
  const xpc::ClassInfo& classInfo() const override { return codableClass(); }
  void encode(xpc::Coder& coder) const override;

  const std::string& name() const { return name_; }
  bool isDir() const { return isDir_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t modifiedMs() const { return modifiedMs_; }

  friend bool operator==(const VfsFileEntryDto& a, const VfsFileEntryDto& b) {
    return a.name_ == b.name_ && a.isDir_ == b.isDir_ && a.size_ == b.size_ && a.modifiedMs_ == b.modifiedMs_;
  }

 private:
  std::string name_;
  bool isDir_;
  std::uint64_t size_;        // on the wire as its two's-complement int64 image
  std::uint64_t modifiedMs_;  // likewise
};

}  // namespace corvane
