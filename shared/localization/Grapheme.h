// The first user-perceived character of a UTF-8 text: one code point with the
// marks, variation selectors, emoji modifiers and joined code points that belong
// to it, or a pair of regional indicators (a flag). Covers what application
// names use without pulling in a full Unicode library.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

std::string firstGraphemeCluster(std::string_view text);

}  // namespace corvane
