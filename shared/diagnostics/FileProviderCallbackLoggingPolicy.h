// FileProviderCallbackLoggingPolicy: how the records of request callbacks reach
// the event log. Always asynchronously, through the log's writer queue, so a
// callback never waits on the disk; nothing branches on it.
#pragma once

namespace corvane::FileProviderCallbackLoggingPolicy {

enum class Delivery { asynchronous };

inline constexpr Delivery delivery = Delivery::asynchronous;

}  // namespace corvane::FileProviderCallbackLoggingPolicy
