// Names how callback logging is delivered. Nothing branches on it: every log record
// goes through the event log's writer queue, so delivery is always asynchronous.
#pragma once

namespace corvane {

struct FileProviderCallbackLoggingPolicy {
  enum class Delivery { asynchronous };
  static constexpr Delivery delivery = Delivery::asynchronous;
};

}  // namespace corvane
