#include "shared/share_epoch/FileProviderWorkingSetPolicy.h"

namespace corvane::FileProviderWorkingSetPolicy {

ChangePlan changePlan(std::uint64_t anchorEpoch, std::uint64_t anchorHostToken, std::uint64_t currentEpoch,
                      std::uint64_t currentHostToken) {
  if (anchorEpoch == currentEpoch && anchorHostToken == currentHostToken) return ChangePlan::upToDate;
  return ChangePlan::expireAnchor;
}

}  // namespace corvane::FileProviderWorkingSetPolicy
