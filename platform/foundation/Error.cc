#include "platform/foundation/Error.h"

#include <cstring>

namespace foundation {

Error::Error(std::string domain, std::int64_t code, std::optional<UserInfo> userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

const UserInfoValue* Error::find(const std::string& key) const {
  if (!userInfo_) return nullptr;
  auto it = userInfo_->find(key);
  return it == userInfo_->end() ? nullptr : &it->second;
}

const std::string* Error::stringForKey(const std::string& key) const {
  const UserInfoValue* value = find(key);
  return value ? std::get_if<std::string>(value) : nullptr;
}

std::optional<std::int64_t> Error::integerForKey(const std::string& key) const {
  const UserInfoValue* value = find(key);
  if (!value) return std::nullopt;
  if (const auto* i = std::get_if<std::int64_t>(value)) return *i;
  return std::nullopt;
}

const Error* Error::errorForKey(const std::string& key) const {
  const UserInfoValue* value = find(key);
  if (!value) return nullptr;
  const auto* e = std::get_if<std::shared_ptr<const Error>>(value);
  return e ? e->get() : nullptr;
}

std::string Error::localizedDescription() const {
  if (const std::string* text = stringForKey(kLocalizedDescriptionKey)) return *text;
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

bool operator==(const Error& a, const Error& b) {
  if (a.domain_ != b.domain_ || a.code_ != b.code_) return false;
  if (a.userInfo_.has_value() != b.userInfo_.has_value()) return false;
  if (!a.userInfo_) return true;
  if (a.userInfo_->size() != b.userInfo_->size()) return false;
  for (auto ia = a.userInfo_->begin(), ib = b.userInfo_->begin(); ia != a.userInfo_->end(); ++ia, ++ib) {
    if (ia->first != ib->first || ia->second.index() != ib->second.index()) return false;
    const auto* ea = std::get_if<std::shared_ptr<const Error>>(&ia->second);
    if (ea) {
      const auto& eb = std::get<std::shared_ptr<const Error>>(ib->second);
      if (!*ea || !eb) {
        if (*ea != eb) return false;
      } else if (!(**ea == *eb)) {
        return false;
      }
    } else if (ia->second != ib->second) {
      return false;
    }
  }
  return true;
}

Error posixError(int err) {
  return Error(kPosixErrorDomain, err, UserInfo{{kLocalizedDescriptionKey, std::string(std::strerror(err))}});
}

}  // namespace foundation
