// A share on "another machine" through the real stream: corvane-vfs-host
// --serve-stdio as a child process, reached by a stand-in for ssh that runs
// the far command here. Covers the calls and the chunked contents, the
// setup failures' one-line reasons, a far side that sends garbage, and a
// stream that dies or stalls midway.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>

#include <gtest/gtest.h>

#include "host/ContentCache.h"
#include "host/stream/RemoteShare.h"
#include "host/stream/RemoteTransfers.h"
#include "host/stream/ShareStreamProtocol.h"
#include "host/stream/StreamHandshake.h"
#include "shared/vfs_xpc/VfsErrorCode.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

namespace corvane::host {
namespace {

using namespace corvane::testing;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The answer of one call through a proxy: its error (absent for success). A
// call never answered fails the test rather than hanging it.
template <typename Call>
std::optional<foundation::Error> answerOf(RemoteShare& share, Call call) {
  auto answer = std::make_shared<Waiter<std::optional<foundation::Error>>>();
  auto settle = [answer](std::optional<foundation::Error> error) { answer->set(std::move(error)); };
  auto connection = share.connection();
  if (!connection) return foundation::Error("test", -1);
  auto proxy = connection->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
      [settle](const foundation::Error& e) { settle(e); });
  call(*proxy, settle);
  auto got = answer->wait(std::chrono::seconds(60));
  EXPECT_TRUE(got.has_value()) << "a call was never answered";
  return got ? *got : foundation::Error("test", -2);
}

class ShareStream : public ::testing::Test {
 protected:
  std::filesystem::path far() const { return dir_.path() / "far"; }

  RemoteShareOptions options(const std::string& folder) {
    RemoteShareOptions o;
    o.address = {"", "box", std::nullopt, folder};
    o.peerId = "box-far";
    o.sshCommand = CORVANE_FAKE_SSH;
    o.remoteProgram = CORVANE_VFS_HOST;
    o.version = "9.9.9";
    o.firstRetryDelay = std::chrono::milliseconds(50);
    o.maximumRetryDelay = std::chrono::milliseconds(200);
    o.report = [this](const std::string& line) {
      std::lock_guard lock(linesMutex_);
      lines_ += line + "\n";
    };
    return o;
  }
  std::shared_ptr<RemoteShare> connected(RemoteShareOptions o) {
    auto share = RemoteShare::create(std::move(o));
    auto failure = share->connect();
    EXPECT_EQ(failure ? failure->line : "", "");
    return share;
  }
  // Files staged on the far side (the peer's name is base64url there).
  std::size_t staged() const {
    std::error_code ignored;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(
             dir_.path() / "cache" / "corvane" / "host" / "incoming" / "Ym94LWZhcg", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
      ++count;
    }
    return count;
  }
  std::string lines() {
    std::lock_guard lock(linesMutex_);
    return lines_;
  }
  // Sends `signal` to the far side's process.
  void signalFar(int signal) {
    run({"pkill", "-" + std::to_string(signal), "-f", "serve-stdio " + far().string() + "$"});
  }

  TempDir dir_;
  ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  std::mutex linesMutex_;
  std::string lines_;
};

TEST_F(ShareStream, CallsAndContentsCrossTheStream) {
  writeFile(far() / "docs" / "a.txt", "hello\n");
  const std::string big = randomBytes(3 * ShareStreamProtocol::kMaxChunkBytes + 7, 1);
  writeFile(far() / "big.bin", big);
  // A name that is not UTF-8 cannot travel as text: it is left out, and the
  // stream goes on.
  writeFile(far() / "\xff\xfe.bin", "x");
  auto share = connected(options(far().string()));
  ASSERT_NE(share->connection(), nullptr);

  std::vector<std::string> names;
  EXPECT_EQ(answerOf(*share,
                     [&](VfsXpcProtocol& p, auto settle) {
                       p.listDirectory("box-far", "/", "f", [&, settle](auto entries, auto error) {
                         for (const auto& e : entries.value_or(std::vector<std::shared_ptr<const VfsFileEntryDto>>{})) {
                           names.push_back(e->name());
                         }
                         settle(error);
                       });
                     }),
            std::nullopt);
  EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "docs"}));
  EXPECT_EQ(answerOf(*share, [](VfsXpcProtocol& p,
                                auto settle) { p.renameItem("box-far", "/docs/a.txt", "/b.txt", "f", settle); }),
            std::nullopt);
  EXPECT_EQ(readFile(far() / "b.txt"), "hello\n");
  // Paths of one machine mean nothing on the other: the far side refuses them.
  EXPECT_NE(answerOf(*share,
                     [&](VfsXpcProtocol& p, auto settle) {
                       p.uploadFile("box-far", (far() / "b.txt").string(), "/c.txt", "f", settle);
                     }),
            std::nullopt);

  auto cache = ContentCache::open(dir_.path() / "near-cache", std::chrono::hours(1));
  ASSERT_TRUE(cache.ok());
  auto fetched = fetchRemote(*share, **cache, "/big.bin");
  ASSERT_TRUE(fetched.ok()) << fetched.error().localizedDescription();
  EXPECT_EQ(readFile(*fetched), big);
  EXPECT_FALSE(fetchRemote(*share, **cache, "/missing").ok());
  auto small = fetchRemote(*share, **cache, "/b.txt");  // whole in the first answer
  ASSERT_TRUE(small.ok());
  EXPECT_EQ(readFile(*small), "hello\n");

  const std::string upload = randomBytes(2 * ShareStreamProtocol::kMaxChunkBytes + 1, 2);
  writeFile(dir_.path() / "staged", upload);
  ASSERT_TRUE(uploadRemote(*share, dir_.path() / "staged", "/docs/up.bin").ok());
  EXPECT_EQ(readFile(far() / "docs" / "up.bin"), upload);
  writeFile(dir_.path() / "empty", "");
  ASSERT_TRUE(uploadRemote(*share, dir_.path() / "empty", "/docs/up.bin").ok());
  EXPECT_EQ(readFile(far() / "docs" / "up.bin"), "");
  EXPECT_EQ(staged(), 0u);

  // Replaced only if the far file is still as this side expects, in one call
  // (putFile) or in chunks (finishUpload): else kept, and the answer is -17.
  auto seenNow = [&](const std::string& name) {
    struct stat st {};
    if (::stat((far() / name).c_str(), &st) != 0) return ExpectedFile{};
    return ExpectedFile{true, static_cast<std::uint64_t>(st.st_size),
                        static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000 +
                            static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 1000000};
  };
  writeFile(dir_.path() / "small", "mine\n");
  for (const char* file : {"small", "staged"}) {
    writeFile(far() / "kept.txt", "theirs\n");
    const ExpectedFile seen = seenNow("kept.txt");
    const ExpectedFile older{true, seen.size + 1, seen.modifiedMs};
    for (const ExpectedFile& stale : {older, ExpectedFile{}}) {
      const auto refused = uploadRemote(*share, dir_.path() / file, "/kept.txt", stale);
      ASSERT_FALSE(refused.ok()) << file;
      EXPECT_EQ(refused.error().code(), static_cast<std::int64_t>(VfsErrorCode::conflict));
      EXPECT_EQ(readFile(far() / "kept.txt"), "theirs\n");
    }
    EXPECT_FALSE(uploadRemote(*share, dir_.path() / file, "/new.txt", seen).ok()) << "nothing is there";
    EXPECT_FALSE(std::filesystem::exists(far() / "new.txt"));
    ASSERT_TRUE(uploadRemote(*share, dir_.path() / file, "/kept.txt", seen).ok()) << file;
    ASSERT_TRUE(uploadRemote(*share, dir_.path() / file, "/new.txt", ExpectedFile{}).ok()) << file;
    std::filesystem::remove(far() / "new.txt");
  }
  EXPECT_EQ(readFile(far() / "kept.txt"), upload);
  EXPECT_EQ(staged(), 0u);
}

TEST_F(ShareStream, SetupFailuresSayWhyInOneLine) {
  const std::string fake = CORVANE_FAKE_SSH;
  const std::string script = (dir_.path() / "old-host").string();
  writeFile(script, "#!/bin/sh\necho 'corvane-vfs-host 0.0.9 protocol 7'\nexec sleep 60\n");
  ::chmod(script.c_str(), 0755);
  struct Case {
    std::string sshCommand, remoteProgram, folder, line;
    bool lasting;
  };
  const Case cases[] = {
      {"env PATH=/usr/bin:/bin " + fake, "corvane-vfs-host", far().string(),
       "corvane-vfs-host was not found on box: install the corvane package there", true},
      {fake, script, far().string(),
       "box runs corvane-vfs-host 0.0.9 (protocol 7); this needs protocol " + std::to_string(kShareStreamProtocol),
       true},
      {fake, CORVANE_VFS_HOST, (dir_.path() / "nowhere").string(),
       "box: cannot serve " + (dir_.path() / "nowhere").string(), true},
      {"sh -c 'echo \"ssh: Could not resolve hostname box: Name or service not known\" >&2; exit 255' ssh", "x", "y",
       "cannot reach box: ssh: Could not resolve hostname box: Name or service not known", true},
      {"sh -c 'echo \"ssh: connect to host box port 22: Connection refused\" >&2; exit 255' ssh", "x", "y",
       "cannot reach box: ssh: connect to host box port 22: Connection refused", false},
  };
  std::filesystem::create_directories(far());
  for (const Case& c : cases) {
    RemoteShareOptions o = options(c.folder);
    o.sshCommand = c.sshCommand;
    o.remoteProgram = c.remoteProgram;
    auto share = RemoteShare::create(std::move(o));
    auto failure = share->connect();
    ASSERT_TRUE(failure) << c.line;
    EXPECT_EQ(failure->line.substr(0, c.line.size()), c.line);
    EXPECT_EQ(failure->lasting, c.lasting) << c.line;
    EXPECT_EQ(share->connection(), nullptr);
  }
  // A login that prints a banner first still connects.
  RemoteShareOptions o = options(far().string());
  o.remoteProgram = "echo 'Welcome to box!'; " + std::string(CORVANE_VFS_HOST);
  EXPECT_NE(connected(std::move(o))->connection(), nullptr);
}

// A far side that greets properly and then breaks the protocol: the link ends
// with a clear line, the calls in flight fail, and this process goes on.
TEST_F(ShareStream, AFarSideThatSendsGarbageEndsOnlyItsStream) {
  const std::string frames[] = {
      "\\377\\377\\377\\377",  // a frame longer than any allowed
      // A reply to a call never made.
      "\\015\\000\\000\\000\\002\\143\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000",
      "\\002\\000\\000\\000\\011\\011",  // an unknown message kind
  };
  std::filesystem::create_directories(far());
  for (const std::string& frame : frames) {
    const std::string script = (dir_.path() / "bad-host").string();
    writeFile(script, "#!/bin/sh\necho 'corvane-vfs-host 1.0 protocol " + std::to_string(kShareStreamProtocol) +
                          "'\nread greeting\necho ready\nprintf '" + frame + "'\nexec sleep 60\n");
    ::chmod(script.c_str(), 0755);
    RemoteShareOptions o = options(far().string());
    o.remoteProgram = script;
    auto share = connected(std::move(o));
    share->start();
    auto error = answerOf(*share, [](VfsXpcProtocol& p, auto settle) {
      p.statItem("box-far", "/", "f", [settle](auto, auto e) { settle(e); });
    });
    EXPECT_NE(error, std::nullopt) << frame;
    EXPECT_TRUE(eventually([&] { return share->connection() == nullptr; })) << frame;
  }
}

TEST_F(ShareStream, AStreamThatDiesOrStallsFailsItsCallsAndComesBack) {
  writeFile(far() / "a.txt", "a\n");
  RemoteShareOptions o = options(far().string());
  o.keepAliveInterval = std::chrono::milliseconds(100);
  o.keepAliveTimeout = std::chrono::milliseconds(3000);
  auto share = connected(std::move(o));
  share->start();
  auto stat = [&] {
    return answerOf(*share, [](VfsXpcProtocol& p, auto settle) {
      p.statItem("box-far", "/a.txt", "f", [settle](auto, auto e) { settle(e); });
    });
  };
  ASSERT_EQ(stat(), std::nullopt);

  // Killed: the stream ends, a new one starts.
  signalFar(SIGKILL);
  EXPECT_TRUE(eventually([&] { return lines().find("ended; trying again") != std::string::npos; })) << lines();
  EXPECT_TRUE(eventually([&] { return share->connection() && stat() == std::nullopt; })) << lines();

  // Stalled: the pings go unanswered, so the stream is given up in seconds and
  // a new one starts once the far side can answer again.
  signalFar(SIGSTOP);
  EXPECT_TRUE(eventually([&] { return lines().find("stalled") != std::string::npos; })) << lines();
  EXPECT_EQ(share->connection(), nullptr);
  EXPECT_NE(share->whyDown().find("box is not reachable"), std::string::npos);
  signalFar(SIGCONT);
  EXPECT_TRUE(eventually([&] { return share->connection() && stat() == std::nullopt; })) << lines();
  EXPECT_TRUE(eventually([&] { return share->lastRoundTrip().has_value(); }));

  // An upload cut off midway leaves the far file as it was and nothing staged
  // once the far side is back.
  const std::string big = randomBytes(64 * ShareStreamProtocol::kMaxChunkBytes, 3);
  writeFile(dir_.path() / "staged", big);
  std::atomic<bool> finished{false};
  std::thread killer([&] {
    eventually([&] { return finished || staged() > 0; });
    if (!finished) signalFar(SIGKILL);
  });
  const foundation::Status cut = uploadRemote(*share, dir_.path() / "staged", "/a.txt");
  finished = true;
  killer.join();
  if (!cut.ok()) {
    EXPECT_EQ(readFile(far() / "a.txt"), "a\n");
  }
  EXPECT_TRUE(eventually([&] { return share->connection() && stat() == std::nullopt; })) << lines();
  EXPECT_EQ(staged(), 0u);
}

}  // namespace
}  // namespace corvane::host
