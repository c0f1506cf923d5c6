// foundation::LocalizedStringResource: names a localized text by its key and the
// string table of the bundle that holds it; the text itself stays a resource,
// looked up in the user's language where it is shown.
#pragma once

#include <string_view>

namespace foundation {

struct LocalizedStringResource {
  std::string_view key;
  std::string_view table;
  friend constexpr bool operator==(const LocalizedStringResource&, const LocalizedStringResource&) = default;
};

}  // namespace foundation
