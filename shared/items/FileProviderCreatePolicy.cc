#include "shared/items/FileProviderCreatePolicy.h"

namespace corvane::FileProviderCreatePolicy {

Plan plan(bool isDirectory, bool hasContents, bool mayAlreadyExist) {
  if (mayAlreadyExist) return Plan::reconcileExisting;
  if (isDirectory) return Plan::createDirectory;
  return hasContents ? Plan::uploadContents : Plan::createEmptyFile;
}

}  // namespace corvane::FileProviderCreatePolicy
