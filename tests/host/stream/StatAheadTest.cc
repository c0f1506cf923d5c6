// The stat sent beside a fetch: used once, whether its answer came before or
// after the extension asked, and never when it is stale or already waited for.
#include "host/stream/StatAhead.h"

#include <gtest/gtest.h>

#include <thread>

namespace corvane::host {
namespace {

struct Answers {
  std::vector<std::string> got;  // "name" or "error CODE"
  VfsXpcProtocol::EntryReply reply() {
    return [this](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
      got.push_back(entry ? entry->name() : "error " + std::to_string(error ? error->code() : 0));
    };
  }
};

std::shared_ptr<const VfsFileEntryDto> entry(const std::string& name) {
  return std::make_shared<VfsFileEntryDto>(name, false, 1, 1);
}

TEST(StatAhead, EachStatSentAheadServesOneAskWhenItsAnswerComesBeforeOrAfter) {
  StatAhead ahead;
  Answers answers;
  auto reply = answers.reply();

  const auto first = ahead.begin("/a");  // answered, then asked
  ASSERT_TRUE(first);
  ahead.settle("/a", *first, entry("a"), std::nullopt);
  EXPECT_TRUE(ahead.take("/a", reply));
  EXPECT_FALSE(ahead.take("/a", reply)) << "used once";

  const auto second = ahead.begin("/b");  // asked, then answered; a second ask goes to the far side
  ASSERT_TRUE(second);
  EXPECT_TRUE(ahead.take("/b", reply));
  EXPECT_FALSE(ahead.take("/b", reply));
  EXPECT_FALSE(ahead.begin("/b")) << "one is waited for already";
  ahead.settle("/b", *second + 100, entry("stale"), std::nullopt);  // not this one's answer
  ahead.settle("/b", *second, nullptr, foundation::Error("test", 7));
  ahead.settle("/b", *second, entry("twice"), std::nullopt);
  EXPECT_EQ(answers.got, (std::vector<std::string>{"a", "error 7"}));

  EXPECT_FALSE(ahead.take("/never", reply));
}

TEST(StatAhead, AnAnswerOlderThanItsAgeIsNotUsed) {
  StatAhead ahead(std::chrono::milliseconds(1));
  Answers answers;
  auto reply = answers.reply();
  const auto sent = ahead.begin("/a");
  ASSERT_TRUE(sent);
  ahead.settle("/a", *sent, entry("a"), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ahead.take("/a", reply));
  EXPECT_TRUE(answers.got.empty());
}

}  // namespace
}  // namespace corvane::host
