// dispatch::concurrentPerform stands in for DispatchQueue.concurrentPerform: runs
// `block` once for each index below `iterations`, on up to `width` threads at
// once (the caller's among them), and returns when every run has returned. For
// work that mostly waits, such as one request per folder over a slow link, where
// the width is how many may be in flight rather than how many cores there are.
#pragma once

#include <cstddef>
#include <functional>

namespace dispatch {

void concurrentPerform(std::size_t iterations, std::size_t width, const std::function<void(std::size_t)>& block);

}  // namespace dispatch
