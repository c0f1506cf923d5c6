#include "platform/foundation/Sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace foundation {

Data sha256(std::string_view bytes) {
  Data digest(32);
  unsigned int length = 0;
  // EVP_Digest only fails when the library cannot allocate; a version tag without
  // a digest would silently collide, so stop instead.
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    std::fprintf(stderr, "corvane: SHA-256 failed in OpenSSL\n");
    std::abort();
  }
  return digest;
}

}  // namespace foundation
