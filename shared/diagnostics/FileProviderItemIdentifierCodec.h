// Item identifier text: "<peer>::<absolute path>". This codec is the only place
// that reads identifier text; callers compose it themselves (peer + "::" + path)
// and check the framework's container identifiers before parsing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

struct FileProviderItemIdentifierCodec {
  struct Parsed {
    std::string peerId;  // text before the first "::"; never empty
    std::string path;    // everything after it, unchanged; starts with "/"
    // Identifier text of the parent folder; absent when the parent is the peer's top folder.
    std::optional<std::string> parentRawIdentifier;

    friend bool operator==(const Parsed&, const Parsed&) = default;
  };

  // Pure and total: any text yields a record or absent.
  static std::optional<Parsed> parse(std::string_view raw);

  // Identifier text of `name` inside the folder at `folderPath`, as listings name
  // their children: joined with one "/", then "//" collapsed once.
  static std::string childIdentifier(std::string_view peerId, std::string_view folderPath,
                                     std::string_view name);
};

}  // namespace corvane
