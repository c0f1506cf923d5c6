// uniform_types::UTType: content-type identifiers for items. Knows the folder and
// generic data types and a table of common file name extensions; every file type
// in the table conforms to "public.data".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace uniform_types {

class UTType {
 public:
  static UTType folder();  // "public.folder"
  static UTType data();    // "public.data"

  // The type for a file name extension (matched without regard to ASCII case) that
  // conforms to `supertype`; absent for an unknown extension or one whose type
  // does not conform.
  static std::optional<UTType> fromFilenameExtension(std::string_view extension, const UTType& supertype);

  const std::string& identifier() const { return identifier_; }
  bool conforms(const UTType& supertype) const;

  friend bool operator==(const UTType&, const UTType&) = default;

 private:
  explicit UTType(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier_;
};

}  // namespace uniform_types
