// Item identifier text: "<peer>::<absolute path>". This codec is the only place
// that reads or makes identifier text; callers check the framework's container
// identifiers before parsing.
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

  // Identifier text of the item at `path` of peer `peerId`, the path unchanged.
  static std::string identifier(std::string_view peerId, std::string_view path);

  // The peer an identifier names (the text before the first "::"), without
  // checking its path; absent when there is no separator.
  static std::optional<std::string_view> peerIdOf(std::string_view raw);

  // Identifier text of `name` inside the folder at `folderPath`, as listings name
  // their children: joined with one "/", then "//" collapsed once.
  static std::string childIdentifier(std::string_view peerId, std::string_view folderPath, std::string_view name);

  // What the identifier `raw` of an item inside the folder `from` (at any depth)
  // reads once that folder is `to`, its place below the folder kept; absent
  // when `raw` is not inside `from`.
  static std::optional<std::string> movedWith(std::string_view raw, std::string_view from, std::string_view to);
};

}  // namespace corvane
