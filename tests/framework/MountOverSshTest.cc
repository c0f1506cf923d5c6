// A share on another machine through a real sshd: the test starts one on a
// free port of this machine with throwaway keys and a known_hosts of its own,
// and mounts a folder through it as a user would. Skipped where sshd is absent.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

class MountOverSsh : public MountEndToEnd {
 protected:
  void SetUp() override {
    MountEndToEnd::SetUp();
    if (IsSkipped()) return;
    if (::access("/usr/sbin/sshd", X_OK) != 0 || run({"sh", "-c", "command -v ssh-keygen >/dev/null"}) != 0) {
      GTEST_SKIP() << "sshd or ssh-keygen is not installed (scripts/setup installs openssh-server)";
    }
    const auto keys = dir_.path() / "ssh";
    std::filesystem::create_directories(keys);
    ASSERT_EQ(run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (keys / "host").string()}), 0);
    ASSERT_EQ(run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (keys / "id").string()}), 0);
    std::filesystem::copy_file(keys / "id.pub", keys / "authorized_keys");
    port_ = freePort();
    ASSERT_NE(port_, 0);
    writeFile(keys / "known_hosts", "[127.0.0.1]:" + std::to_string(port_) + " " + readFile(keys / "host.pub"));
    writeFile(keys / "sshd_config", "Port " + std::to_string(port_) + "\nListenAddress 127.0.0.1\nHostKey " +
                                        (keys / "host").string() + "\nAuthorizedKeysFile " +
                                        (keys / "authorized_keys").string() + "\nPidFile " +
                                        (keys / "sshd.pid").string() +
                                        "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                                        "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n");
    // As root, sshd wants its privilege separation folder.
    if (::geteuid() == 0) std::filesystem::create_directories("/run/sshd");
    sshd_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", (keys / "sshd_config").string()},
        ChildOptions{.errorFile = dir_.path() / "sshd.log"});
    ssh_ = "ssh -F /dev/null -o UserKnownHostsFile=" + (keys / "known_hosts").string() +
           " -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -i " +
           (keys / "id").string();
    // The login's environment is sshd's, not this test's: the far side is told
    // where its state and cache go.
    farProgram_ = "env XDG_STATE_HOME=" + (dir_.path() / "far-state").string() +
                  " XDG_CACHE_HOME=" + (dir_.path() / "far-cache").string() + " " + CORVANE_VFS_HOST;
    ASSERT_TRUE(eventually([&] {
      return run({"sh", "-c", ssh_ + " -o BatchMode=yes -p " + std::to_string(port_) + " 127.0.0.1 true"}) == 0;
    })) << readFile(dir_.path() / "sshd.log");
  }

  std::vector<std::string> mountArgs() const {
    return {"--ssh-command", ssh_, "--remote-program", farProgram_,
            "ssh://127.0.0.1:" + std::to_string(port_) + "/" + share().string()};
  }

  // The hosts' logs, for a failure.
  std::string hostLogs() const {
    std::string all;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(dir_.path(), ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->path().filename() == "corvane-vfs-host.log") all += readFile(it->path());
    }
    return all;
  }

  int port_ = 0;
  std::string ssh_;
  std::string farProgram_;
  std::unique_ptr<ChildProcess> sshd_;
};

TEST_F(MountOverSsh, MountWalkWriteSeeFarChangesLoseTheLinkAndRemount) {
  auto mount = std::make_unique<Mount>(dir_.path(), "sshbox", mountArgs());
  ASSERT_TRUE(mount->ready()) << mount->log();
  const auto mnt = mount->path();
  EXPECT_EQ(readFile(mnt / "a.txt"), "hello\n") << mount->log();
  EXPECT_EQ(readFile(mnt / "sub" / "b.txt"), "x\n");
  // status, asked by the address, says where the share is and that its link
  // is up, once a keep-alive came back.
  const std::string address = "ssh://127.0.0.1:" + std::to_string(port_) + "/" + share().string();
  EXPECT_TRUE(eventually([&] {
    ChildProcess status({CORVANE_FP, "status", "--domain", address}, ChildOptions{.pipeOutput = true});
    return status.readAll().find("share on " + address + ": link up, round trip ") != std::string::npos;
  })) << mount->log();

  writeFile(mnt / "sub" / "new.txt", "from here\n");
  EXPECT_TRUE(eventually([&] {
    std::error_code ignored;
    return std::filesystem::exists(share() / "sub" / "new.txt", ignored) &&
           readFile(share() / "sub" / "new.txt") == "from here\n";
  })) << mount->log();

  writeFile(share() / "sub" / "far.txt", "from there\n");
  EXPECT_TRUE(eventually([&] {
    std::error_code ignored;
    return std::filesystem::exists(mnt / "sub" / "far.txt", ignored);
  })) << mount->log();
  EXPECT_EQ(readFile(mnt / "sub" / "far.txt"), "from there\n");

  // The ssh process killed: what was read stays readable, and the link comes back.
  run({"pkill", "-KILL", "-f", "^ssh -F /dev/null .* -p " + std::to_string(port_) + " "});
  EXPECT_EQ(readFile(mnt / "a.txt"), "hello\n");
  writeFile(mnt / "after.txt", "queued or sent\n");
  EXPECT_TRUE(eventually([&] {
    std::error_code ignored;
    return std::filesystem::exists(share() / "after.txt", ignored) &&
           readFile(share() / "after.txt") == "queued or sent\n";
  })) << mount->log();
  EXPECT_EQ(mount->stop(), 0) << mount->log();
  mount.reset();  // before the next mount, whose folder it would unmount on its way out

  mount = std::make_unique<Mount>(dir_.path(), "sshbox", mountArgs());
  ASSERT_TRUE(mount->ready()) << mount->log();
  EXPECT_EQ(readFile(mount->path() / "sub" / "new.txt"), "from here\n") << mount->log() << hostLogs();
  EXPECT_EQ(readFile(mount->path() / "after.txt"), "queued or sent\n");
}

// A far machine without the program ends the mount at once, with one line.
TEST_F(MountEndToEnd, AFarSideWithoutTheProgramEndsTheMountWithOneLine) {
  Mount mount(dir_.path(), "nohost",
              {"--ssh-command", "env PATH=/usr/bin:/bin " CORVANE_FAKE_SSH, "box:" + share().string()},
              /*waitReady=*/false);
  EXPECT_EQ(mount.stop(0), 1);
  EXPECT_NE(mount.log().find("corvane-fp mount: corvane-vfs-host was not found on box: install the corvane package "
                             "there\n"),
            std::string::npos)
      << mount.log();
}

// An upload under way over a stream is shown by status (text and JSON) and by
// watch, from its start to its end. The far side is held stopped meanwhile
// (well within the link's keep-alive), so the upload stays under way for as
// long as the test looks.
TEST_F(MountEndToEnd, AnUploadUnderWayIsShownByStatusAndWatch) {
  Mount mount(dir_.path(), "moving",
              {"--ssh-command", CORVANE_FAKE_SSH, "--remote-program", CORVANE_VFS_HOST, "box:" + share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  ChildProcess watch({CORVANE_FP, "watch", "--domain", "moving"}, ChildOptions{.pipeOutput = true});
  const std::string far = "serve-stdio " + share().string() + "$";
  ASSERT_EQ(run({"pkill", "-STOP", "-f", far}), 0);
  const std::string big(3 << 20, 'x');
  writeFile(mount.path() / "big.bin", big);
  auto statusOf = [](std::vector<std::string> args) {
    args.insert(args.begin(), {CORVANE_FP, "status", "--domain", "moving"});
    ChildProcess status(args, ChildOptions{.pipeOutput = true});
    return status.readAll();
  };
  nlohmann::json sending;
  const bool shown = eventually([&] {
    auto all = nlohmann::json::parse(statusOf({"--json"}), nullptr, false);
    if (!all.is_array() || all.size() != 1) return false;
    for (const auto& upload : all[0]["queued"]) {
      if (upload["path"] == "/big.bin" && upload["sending"] == true) sending = upload;
    }
    return !sending.is_null();
  });
  const std::string text = statusOf({});
  // watch tells the start, then (the far side going on) the end, each on a line.
  auto nextState = [&]() -> std::string {
    while (auto line = watch.readLine()) {
      auto json = nlohmann::json::parse(*line, nullptr, false);
      if (json.is_object() && json.value("transfer", "") == "upload" && json.value("path", "") == "/big.bin") {
        return json.value("state", "");
      }
    }
    return "(watch said no more)";
  };
  const std::string first = shown ? nextState() : "";
  run({"pkill", "-CONT", "-f", far});
  ASSERT_TRUE(shown) << mount.log();
  EXPECT_EQ(sending["size"], big.size());
  // Its bytes are not moving yet: the far side has not even answered whether
  // the name is free.
  EXPECT_TRUE(sending["bytesDone"].is_null());
  EXPECT_NE(text.find("  sending: /big.bin (3.0 MiB, for "), std::string::npos) << text;
  EXPECT_EQ(first, "started");
  std::string state;
  while ((state = nextState()) == "progress") {
  }
  EXPECT_EQ(state, "ended");
  EXPECT_TRUE(eventually([&] {
    std::error_code ignored;
    return std::filesystem::file_size(share() / "big.bin", ignored) == big.size();
  })) << mount.log();
  watch.stop(SIGTERM);
}

}  // namespace
}  // namespace corvane::testing
