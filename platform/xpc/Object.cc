#include "platform/xpc/Object.h"

namespace xpc {

const ClassInfo* Object::classInfo() const {
  switch (value_.index()) {
    case 1:
      return &classes::NSString;
    case 2:
      return &classes::NSNumber;
    case 3:
      return &classes::NSURL;
    case 4:
      return &classes::NSArray;
    case 5:
      return &classes::NSError;
    case 6:
      return &std::get<6>(value_)->classInfo();
    default:
      return nullptr;
  }
}

}  // namespace xpc
