// FileProviderWorkingSetPolicy: what a working-set change request answers. The
// working set never reports single changes; an anchor either still describes the
// whole share (both counters unchanged) or is expired, so the framework walks the
// share again.
#pragma once

#include <cstdint>

namespace corvane::FileProviderWorkingSetPolicy {

enum class ChangePlan { upToDate, expireAnchor };

// `upToDate` only when the anchor's share epoch and host token both equal the
// current ones; any movement of either expires the anchor. Pure.
ChangePlan changePlan(std::uint64_t anchorEpoch, std::uint64_t anchorHostToken, std::uint64_t currentEpoch,
                      std::uint64_t currentHostToken);

}  // namespace corvane::FileProviderWorkingSetPolicy
