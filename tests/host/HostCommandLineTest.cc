// corvane-vfs-host's command line: what it serves, and a clear message for each
// kind of mistake.
#include "host/HostCommandLine.h"

#include <gtest/gtest.h>

namespace corvane::host {
namespace {

TEST(HostCommandLineTest, PeersAreReadInOrder) {
  auto parsed = parseHostCommandLine({"--peer", "p1=/srv/a", "--peer", "p2=rel/b=c"});
  ASSERT_TRUE(std::holds_alternative<HostCommandLine>(parsed));
  EXPECT_EQ(std::get<HostCommandLine>(parsed).peers,
            (std::vector<HostPeerArgument>{{"p1", "/srv/a"}, {"p2", "rel/b=c"}}));
}

TEST(HostCommandLineTest, EachMistakeHasItsOwnMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case kCases[] = {
      {{}, "no \"--peer ID=DIR\" given"},
      {{"--peer"}, "\"--peer\" needs a value ID=DIR"},
      {{"--peer", "p1"}, "\"--peer p1\" is not of the form ID=DIR"},
      {{"--peer", "=/srv/a"}, "\"--peer =/srv/a\" names no peer ID"},
      {{"--peer", "p1="}, "\"--peer p1=\" names no folder"},
      {{"--peer", "p1=/a", "--peer", "p1=/b"}, "peer \"p1\" is given more than once"},
      {{"--peer", "p1=/a", "--verbose"}, "unknown argument \"--verbose\""},
  };
  for (const Case& c : kCases) {
    auto parsed = parseHostCommandLine(c.args);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.message;
    EXPECT_EQ(std::get<std::string>(parsed), c.message);
  }
}

}  // namespace
}  // namespace corvane::host
