#include "host/stream/RemoteAddress.h"

namespace corvane::host {

namespace {

// What ssh would take as a host or user: no spaces, quotes or shell specials,
// and no leading "-", so that neither can be read as an option.
bool isWord(std::string_view s) {
  if (s.empty() || s.size() > 255 || s.front() == '-') return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_' || c == '[' || c == ']' || c == ':' || c == '%';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string RemoteAddress::text() const {
  std::string who = user.empty() ? host : user + "@" + host;
  if (port) return "ssh://" + who + ":" + std::to_string(*port) + "/" + folder;
  return who + ":" + folder;
}

std::string RemoteAddress::defaultDomain() const {
  std::string h = host;
  if (!h.empty() && h.front() == '[') h = h.substr(1, h.size() - 2);
  std::string domain;
  for (char c : h) {
    // An address ("::1") must not make an id that reads as an option.
    if ((c == ':' || c == '%' || c == '-') && domain.empty()) continue;
    domain.push_back(c == ':' || c == '%' ? '-' : c);
  }
  std::string_view f = folder;
  while (!f.empty() && f.back() == '/') f.remove_suffix(1);
  const std::size_t slash = f.rfind('/');
  std::string_view last = slash == std::string_view::npos ? f : f.substr(slash + 1);
  if (!last.empty() && last != "~" && last != "." && last != "..") {
    domain += "-";
    for (char c : last) {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '-' || c == '_';
      domain.push_back(plain ? c : '_');
    }
  }
  return domain;
}

bool looksRemote(std::string_view text) {
  if (text.substr(0, 6) == "ssh://") return true;
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && colon > 0 && text.substr(0, colon).find('/') == std::string_view::npos;
}

std::variant<RemoteAddress, std::string> parseRemoteAddress(std::string_view text) {
  RemoteAddress a;
  std::string_view who;
  if (text.substr(0, 6) == "ssh://") {
    std::string_view rest = text.substr(6);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return "\"" + std::string(text) + "\" names no folder: ssh://HOST/DIR";
    who = rest.substr(0, slash);
    a.folder = std::string(rest.substr(slash + 1));
    // "ssh://host//abs" and "ssh://host/~/x" as in git; otherwise relative to home.
    const std::size_t colon = who.rfind(':');
    if (colon != std::string_view::npos && who.find(']', colon) == std::string_view::npos) {
      std::string_view digits = who.substr(colon + 1);
      unsigned port = 0;
      if (digits.empty() || digits.size() > 5) return "\"" + std::string(text) + "\" has a bad port";
      for (char c : digits) {
        if (c < '0' || c > '9') return "\"" + std::string(text) + "\" has a bad port";
        port = port * 10 + static_cast<unsigned>(c - '0');
      }
      if (port == 0 || port > 65535) return "\"" + std::string(text) + "\" has a bad port";
      a.port = port;
      who = who.substr(0, colon);
    }
  } else {
    if (!looksRemote(text)) return "\"" + std::string(text) + "\" is not of the form [USER@]HOST:DIR";
    std::size_t colon = text.find(':');
    if (text.front() == '[') {
      const std::size_t close = text.find(']');
      if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
        return "\"" + std::string(text) + "\" is not of the form [USER@]HOST:DIR";
      }
      colon = close + 1;
    }
    who = text.substr(0, colon);
    a.folder = std::string(text.substr(colon + 1));
  }
  const std::size_t at = who.rfind('@');
  if (at != std::string_view::npos) {
    a.user = std::string(who.substr(0, at));
    who = who.substr(at + 1);
    if (!isWord(a.user)) return "\"" + std::string(text) + "\" has a user name ssh would not take";
  }
  a.host = std::string(who);
  if (!isWord(a.host)) return "\"" + std::string(text) + "\" has a host name ssh would not take";
  if (a.folder.find('\0') != std::string::npos || a.folder.find('\n') != std::string::npos) {
    return "\"" + std::string(text) + "\" has a folder name that cannot be passed to a shell";
  }
  return a;
}

}  // namespace corvane::host
