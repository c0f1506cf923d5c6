#include "framework/CompletionRecorder.h"

namespace corvane::framework {

std::vector<Violation> CompletionRecorder::violations() const {
  std::lock_guard guard(ledger_->mutex);
  return ledger_->violations;
}

}  // namespace corvane::framework
