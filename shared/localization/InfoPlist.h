// InfoPlist: the bundle's localized information-dictionary values, kept in its
// "InfoPlist" string table. Nothing in the extension reads them; the system
// shows them where it names the extension.
#pragma once

#include "platform/foundation/LocalizedStringResource.h"

namespace corvane::InfoPlist {

inline constexpr foundation::LocalizedStringResource cfbundleDisplayName{"CFBundleDisplayName", "InfoPlist"};
inline constexpr foundation::LocalizedStringResource cfbundleName{"CFBundleName", "InfoPlist"};

}  // namespace corvane::InfoPlist
