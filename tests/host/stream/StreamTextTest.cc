// The texts a share stream is set up with: addresses as users write them, the
// ssh command line made of them, and the greetings both sides exchange.
#include <gtest/gtest.h>

#include "host/stream/RemoteAddress.h"
#include "host/stream/StreamHandshake.h"
#include "host/stream/StreamProcess.h"

namespace corvane::host {
namespace {

TEST(RemoteAddress, ParsesWhatScpAndSshUrlsWrite) {
  struct Case {
    const char* text;
    RemoteAddress address;
    const char* domain;
  };
  const Case cases[] = {
      {"box:work", {"", "box", std::nullopt, "work"}, "box-work"},
      {"me@box:/srv/share/", {"me", "box", std::nullopt, "/srv/share/"}, "box-share"},
      {"box:", {"", "box", std::nullopt, ""}, "box"},
      {"box:~/my docs", {"", "box", std::nullopt, "~/my docs"}, "box-my_docs"},
      {"[::1]:x", {"", "[::1]", std::nullopt, "x"}, "1-x"},
      {"ssh://me@box.lan:2222/data", {"me", "box.lan", 2222u, "data"}, "box.lan-data"},
      {"ssh://box//abs/dir", {"", "box", std::nullopt, "/abs/dir"}, "box-dir"},
  };
  for (const Case& c : cases) {
    auto parsed = parseRemoteAddress(c.text);
    ASSERT_TRUE(std::holds_alternative<RemoteAddress>(parsed)) << c.text << ": " << std::get<std::string>(parsed);
    EXPECT_EQ(std::get<RemoteAddress>(parsed), c.address) << c.text;
    EXPECT_EQ(std::get<RemoteAddress>(parsed).defaultDomain(), c.domain) << c.text;
    EXPECT_TRUE(looksRemote(c.text)) << c.text;
  }
  for (const char* local : {"/srv/a:b", "./x:y", "plain", ""}) EXPECT_FALSE(looksRemote(local)) << local;
  for (const char* bad : {"-oProxyCommand=x:dir", "box;rm:x", "me@:x", "ssh://box", "ssh://box:0/x",
                          "ssh://box:99999/x", "a b:c", "[::1:x"}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(parseRemoteAddress(bad))) << bad;
  }
}

TEST(RemoteAddress, SshRunsTheFarProgramWithTheFolderQuoted) {
  const RemoteAddress address{"me", "[::1]", 2222u, "it's here"};
  const auto argv = sshCommandLine(address, "ssh -i key", "/opt/bin/corvane-vfs-host");
  ASSERT_GE(argv.size(), 5u);
  EXPECT_EQ(argv[2], "ssh -i key \"$@\"");
  const std::vector<std::string> tail(argv.end() - 7, argv.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"-p", "2222", "-l", "me", "--", "::1",
                                            "/opt/bin/corvane-vfs-host --serve-stdio 'it'\\''s here'"}));
  EXPECT_EQ(shellQuoted("~/a b"), "~/'a b'");
  EXPECT_EQ(shellQuoted("~"), "~");
}

TEST(StreamHandshake, GreetingsRoundTripAndAnythingElseIsRefused) {
  const StreamGreeting far{"corvane-vfs-host", "0.3.1", 1, std::nullopt};
  const StreamGreeting near{"corvane-vfs-host", "0.3.1", 1, "box-work"};
  EXPECT_EQ(formatGreeting(far), "corvane-vfs-host 0.3.1 protocol 1");
  EXPECT_EQ(parseGreeting(formatGreeting(far)), far);
  EXPECT_EQ(parseGreeting(formatGreeting(near)), near);
  for (const char* bad : {"", "Welcome to box!", "corvane-vfs-host 0.3.1 protocol", "corvane-vfs-host 0.3.1 protocol x",
                          "corvane-vfs-host 0.3.1 protocol 1 ", "corvane-vfs-host  0.3.1 protocol 1",
                          "corvane-vfs-host 0.3.1 protocol 1 peer", "corvane-vfs-host 0.3.1 protocol 1 peer a b",
                          "corvane-vfs-host 0.3.1 protocol 1234567890", "Corvane 0.3.1 protocol 1",
                          "corvane-vfs-host 0.3;1 protocol 1"}) {
    EXPECT_EQ(parseGreeting(bad), std::nullopt) << bad;
  }
  for (const StreamAnswer& answer : {StreamAnswer{}, StreamAnswer{StreamAnswer::Kind::busy, "in use"},
                                     StreamAnswer{StreamAnswer::Kind::error, "no such folder: /x"}}) {
    EXPECT_EQ(parseAnswer(formatAnswer(answer)), answer);
  }
  for (const char* bad : {"", "ready ", "refused", "refused busy ", "refused maybe x", "refused error a\rb"}) {
    EXPECT_EQ(parseAnswer(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace corvane::host
