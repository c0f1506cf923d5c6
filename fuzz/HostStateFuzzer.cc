// libFuzzer target for the host's state file and the change journal it carries.
// The input is the file without its SHA-256 trailer, which is appended here, so
// the fuzzer explores the decoder rather than the digest check. A state that
// decodes must encode back to the same bytes; its journal must answer queries.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/ChangeJournal.h"
#include "host/HostState.h"
#include "platform/foundation/Sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string file(reinterpret_cast<const char*>(data), size);
  const foundation::Data digest = foundation::sha256(file);
  file.append(digest.begin(), digest.end());
  auto state = corvane::host::decodeHostState(file);
  if (!state) return 0;
  if (corvane::host::encodeHostState(*state) != file) std::abort();
  corvane::host::ChangeJournal journal(0, 0, 1000);
  journal.reset(state->floor, state->current);
  journal.restore(std::move(state->records));
  for (std::uint64_t since : {std::uint64_t{0}, state->floor, state->current}) {
    (void)journal.changesSince("/", since);
    (void)journal.changesSince("/Docs", since);
  }
  return 0;
}
