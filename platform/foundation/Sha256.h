// SHA-256 (the CryptoKit stand-in), computed by OpenSSL's EVP interface.
#pragma once

#include <string_view>

#include "platform/foundation/Data.h"

namespace foundation {

// The 32 raw digest bytes of `bytes`.
Data sha256(std::string_view bytes);

}  // namespace foundation
