// corvane-fp script, run as a program: one representative case of every op, the
// usage replies that keep a run going, and the end line.
#include <chrono>

#include <gtest/gtest.h>

#include "tests/framework/ScriptProcess.h"
#include "tests/support/TempDir.h"

namespace corvane::testing {
namespace {

using nlohmann::json;

constexpr const char* kRoot = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* kHostDomain = "com.vandrel.corvane.vfs.xpc";

class ScriptProtocolTest : public ::testing::Test {
 protected:
  ScriptProtocolTest() {
    writeFile(share() / "a.txt", "hello");
    std::filesystem::create_directories(share() / "Docs");
  }

  std::filesystem::path share() const { return dir_.path() / "share"; }
  std::filesystem::path groups() const { return dir_.path() / "groups"; }

  // Every run ends cleanly: a sanitizer report in the program fails the test.
  void TearDown() override {
    for (auto& script : scripts_) EXPECT_EQ(script->finish().second, 0) << readFile(dir_.path() / "stderr.txt");
  }

  ScriptProcess* start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--share", share().string()});
    return scripts_.emplace_back(std::make_unique<ScriptProcess>(CORVANE_FP, args, dir_.path() / "stderr.txt")).get();
  }
  // Starts a run and connects its host.
  ScriptProcess* connected() {
    auto* script = start();
    EXPECT_EQ(script->ask(R"({"op":"connect"})"), json::parse(R"({"op":"connect","error":null})"));
    return script;
  }

  TempDir dir_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (dir_.path() / "run").string()};
  ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  ScopedEnv data_{"XDG_DATA_HOME", (dir_.path() / "data").string()};
  ScopedEnv groups_{"CORVANE_APP_GROUPS", groups().string()};
  std::vector<std::unique_ptr<ScriptProcess>> scripts_;
};

json item(const std::string& id) { return {{"op", "item"}, {"id", id}}; }

TEST_F(ScriptProtocolTest, ItemIsServerUnreachableUntilTheRightPeerConnectsThenDescribesTheFile) {
  auto* script = start();
  json before = script->askJson(item("p1::/a.txt"));
  EXPECT_EQ(before["item"], nullptr);
  EXPECT_EQ(before["error"]["domain"], "NSFileProviderErrorDomain");
  EXPECT_EQ(before["error"]["code"], -1004);

  json refused = script->ask(R"({"op":"connect","peer":"someone-else"})");
  EXPECT_EQ(refused["error"]["domain"], kHostDomain);
  EXPECT_EQ(refused["error"]["code"], -16);
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["error"]["code"], -1004) << "the refused link is not used";

  ASSERT_EQ(script->ask(R"({"op":"connect"})")["error"], nullptr);
  json after = script->askJson(item("p1::/a.txt"));
  EXPECT_EQ(after["op"], "item");
  EXPECT_EQ(after["error"], nullptr);
  EXPECT_EQ(after["item"]["identifier"], "p1::/a.txt");
  EXPECT_EQ(after["item"]["parent"], kRoot);
  EXPECT_EQ(after["item"]["kind"], "file");
  EXPECT_EQ(after["item"]["size"], 5);
  EXPECT_EQ(after["item"]["childItemCount"], nullptr);
  EXPECT_EQ(after["item"]["contentVersion"].get<std::string>().size(), 64u);
}

TEST_F(ScriptProtocolTest, EnumerateWritesOneBatchPerDidEnumerateCall) {
  auto* script = connected();
  json reply = script->askJson(json{{"op", "enumerate"}, {"container", kRoot}});
  ASSERT_EQ(reply["batches"].size(), 1u);
  ASSERT_EQ(reply["batches"][0].size(), 2u);
  EXPECT_EQ(reply["batches"][0][0]["filename"], "Docs");
  EXPECT_EQ(reply["batches"][0][0]["kind"], "directory");
  EXPECT_EQ(reply["batches"][0][1]["filename"], "a.txt");
  EXPECT_EQ(reply["error"], nullptr);
}

TEST_F(ScriptProtocolTest, ChangesSinceAnAnchorReportAFileCreatedAfterIt) {
  auto* script = connected();
  json anchor = script->askJson(json{{"op", "anchor"}, {"container", kRoot}})["anchor"];
  ASSERT_TRUE(anchor.is_string());
  EXPECT_EQ(anchor.get<std::string>().size(), 32u) << "epoch and token, 8 bytes each";

  json created = script->askJson(json{{"op", "create"}, {"parent", kRoot}, {"filename", "b.txt"}});
  EXPECT_EQ(created["item"]["identifier"], "p1::/b.txt");
  EXPECT_EQ(created["fields"], json::array());
  EXPECT_EQ(created["shouldFetchContent"], false);
  EXPECT_EQ(created["progress"], json::parse("[1,1]"));
  EXPECT_TRUE(std::filesystem::exists(share() / "b.txt"));

  json changes = script->askJson(json{{"op", "changes"}, {"container", kRoot}, {"anchor", anchor}});
  ASSERT_EQ(changes["error"], nullptr) << changes.dump();
  ASSERT_EQ(changes["updated"].size(), 1u);
  EXPECT_EQ(changes["updated"][0][0]["filename"], "b.txt");
  EXPECT_NE(changes["anchor"], anchor);
  EXPECT_EQ(changes["moreComing"], false);

  json expired = script->askJson(json{{"op", "changes"}, {"container", kRoot}, {"anchor", "00"}});
  EXPECT_EQ(expired["error"]["code"], -1002);
  EXPECT_EQ(expired["anchor"], nullptr);
  EXPECT_EQ(expired["moreComing"], nullptr);
}

TEST_F(ScriptProtocolTest, FetchHandsBackACopyOfTheContents) {
  auto* script = connected();
  json reply = script->askJson(json{{"op", "fetch"}, {"id", "p1::/a.txt"}});
  ASSERT_TRUE(reply["url"].is_string()) << reply.dump();
  EXPECT_EQ(readFile(reply["url"].get<std::string>()), "hello");
  EXPECT_EQ(reply["item"]["filename"], "a.txt");
  EXPECT_EQ(reply["progress"], json::parse("[1,1]"));
}

TEST_F(ScriptProtocolTest, ModifyRenamesOnThePeerAndHandsBackAnItemItCannotApplyAsReceived) {
  auto* script = connected();
  json renamed =
      script->askJson(json{{"op", "modify"},
                           {"item", {{"identifier", "p1::/a.txt"}, {"parent", kRoot}, {"filename", "c.txt"}}},
                           {"fields", {"filename"}}});
  EXPECT_EQ(renamed["item"]["identifier"], "p1::/c.txt");
  EXPECT_EQ(renamed["fields"], json::array());
  EXPECT_EQ(readFile(share() / "c.txt"), "hello");

  json untouched =
      script->askJson(json{{"op", "modify"},
                           {"item", {{"identifier", "p1::/c.txt"}, {"parent", kRoot}, {"filename", "c.txt"}}},
                           {"fields", {"lastUsedDate"}}});
  EXPECT_EQ(untouched["error"], nullptr);
  EXPECT_EQ(untouched["item"]["identifier"], "p1::/c.txt");
  EXPECT_EQ(untouched["item"]["kind"], nullptr) << "the script's own item has no kind";
  EXPECT_EQ(untouched["item"]["contentType"], nullptr);
  EXPECT_EQ(untouched["item"]["capabilities"], nullptr);
}

TEST_F(ScriptProtocolTest, DeleteRemovesTheFileAndASecondDeleteFindsNothing) {
  auto* script = connected();
  json deleted = script->askJson(json{{"op", "delete"}, {"id", "p1::/a.txt"}});
  EXPECT_EQ(deleted, json::parse(R"({"op":"delete","error":null,"progress":[0,1]})"));
  EXPECT_FALSE(std::filesystem::exists(share() / "a.txt"));
  EXPECT_EQ(script->askJson(json{{"op", "delete"}, {"id", "p1::/a.txt"}})["error"]["code"], -1005);
}

TEST_F(ScriptProtocolTest, ServiceSourcesImportDisconnectAndInvalidate) {
  auto* script = connected();
  EXPECT_EQ(script->askJson(json{{"op", "serviceSources"}, {"id", kRoot}}),
            json::parse(R"({"op":"serviceSources","names":["io.corvane.mac.vfs-host"]})"));
  EXPECT_EQ(script->ask(R"({"op":"importDidFinish"})"), json::parse(R"({"op":"importDidFinish"})"));
  EXPECT_EQ(script->ask(R"({"op":"disconnect"})"), json::parse(R"({"op":"disconnect"})"));
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["error"]["code"], -1004) << "the reply comes once the link is down";
  ASSERT_EQ(script->ask(R"({"op":"connect"})")["error"], nullptr);
  EXPECT_EQ(script->ask(R"({"op":"invalidate"})"), json::parse(R"({"op":"invalidate"})"));
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["error"]["code"], -1004) << "invalidate drops the link";
}

TEST_F(ScriptProtocolTest, FaultsAnswerInsteadOfTheShareUntilCleared) {
  auto* script = connected();
  EXPECT_EQ(script->askJson(json{{"op", "fault"},
                                 {"selector", "statItemWithPeerId:path:flowId:reply:"},
                                 {"path", "/a.txt"},
                                 {"reply", {{"error", {{"code", -9}, {"codeText", "not_found"}}}}}}),
            json::parse(R"({"op":"fault"})"));
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["error"]["code"], -1005);
  EXPECT_EQ(script->askJson(item("p1::/Docs"))["error"], nullptr) << "the fault names one path";

  script->askJson(json{{"op", "fault"},
                       {"selector", "listDirectoryWithPeerId:path:flowId:reply:"},
                       {"reply", {{"entries", {{{"name", "ghost"}, {"isDir", true}}}}}}});
  json listed = script->askJson(json{{"op", "enumerate"}, {"container", kRoot}});
  ASSERT_EQ(listed["batches"][0].size(), 1u);
  EXPECT_EQ(listed["batches"][0][0]["identifier"], "p1::/ghost");

  EXPECT_EQ(script->ask(R"({"op":"fault","clear":true})"), json::parse(R"({"op":"fault"})"));
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["item"]["size"], 5);

  json refused = script->askJson(json{{"op", "fault"}, {"selector", "nope:"}, {"reply", {{"nothing", true}}}});
  EXPECT_EQ(refused["op"], "fault");
  EXPECT_TRUE(refused.contains("usage"));
}

TEST_F(ScriptProtocolTest, EpochAndBumpSetTheEpochThatItemsCarry) {
  auto* script = connected();
  script->ask(R"({"op":"epoch","value":7})");
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["item"]["versionEpoch"], 7);
  json bumped = script->ask(R"({"op":"bump"})");
  ASSERT_TRUE(bumped["epoch"].is_number_unsigned());
  EXPECT_NE(bumped["epoch"], 7);
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["item"]["versionEpoch"], bumped["epoch"]);
  EXPECT_EQ(script->ask(R"({"op":"epoch","value":0})"), json::parse(R"({"op":"epoch"})"));
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["item"]["versionEpoch"], 0);
}

TEST_F(ScriptProtocolTest, LogSyslogAndSleepReportOnlyWhatIsNew) {
  auto* script = connected();
  script->askJson(item("p1::/a.txt"));
  json log = script->ask(R"({"op":"log"})")["lines"];
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log[0].get<std::string>().find("\"boot.start\""), std::string::npos);
  EXPECT_NE(log.back().get<std::string>().find("\"mount.request_done\""), std::string::npos);
  json syslog = script->ask(R"({"op":"syslog"})")["lines"];
  ASSERT_FALSE(syslog.empty());
  EXPECT_EQ(syslog.back(), "\U0001f4c2 [FP] item(for:) p1::/a.txt");

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(script->ask(R"({"op":"sleep","ms":50})"), json::parse(R"({"op":"sleep"})"));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
  EXPECT_EQ(script->ask(R"({"op":"log"})")["lines"], json::array());
  EXPECT_EQ(script->ask(R"({"op":"syslog"})")["lines"], json::array());
}

TEST_F(ScriptProtocolTest, UnusableLinesGetUsageAndTheRunGoesOnToTheEndLine) {
  struct Case {
    const char* line;
    json op;
  };
  const Case kCases[] = {
      {"not json", nullptr},
      {"", nullptr},
      {"[1,2]", nullptr},
      {R"({"id":"p1::/a.txt"})", nullptr},
      {R"({"op":7})", nullptr},
      {R"({"op":"frobnicate"})", "frobnicate"},
      {R"({"op":"item"})", "item"},
      {R"({"op":"item","id":5})", "item"},
      {R"({"op":"changes","container":"x","anchor":"zz"})", "changes"},
      {R"({"op":"modify","item":{"identifier":"p1::/a.txt","parent":"x","filename":"a"},"fields":["colour"]})",
       "modify"},
      {R"({"op":"fault","selector":"pingWithPeerId:connectionGeneration:reply:","reply":{}})", "fault"},
      {R"({"op":"epoch","value":-1})", "epoch"},
  };
  auto* script = start();
  for (const Case& c : kCases) {
    json reply = script->ask(c.line);
    EXPECT_EQ(reply["op"], c.op) << c.line;
    EXPECT_TRUE(reply["usage"].is_string()) << c.line;
    EXPECT_EQ(reply.size(), 2u) << c.line;
  }
  EXPECT_EQ(script->askJson(item("p1::/a.txt"))["error"]["code"], -1004) << "the run went on";
  auto [rest, status] = script->finish();
  EXPECT_EQ(rest, std::vector<json>{json::parse(R"({"op":"end","violations":[]})")});
  EXPECT_EQ(status, 0);
}

TEST_F(ScriptProtocolTest, AppGroupOptionsDecideWhereTheLogAndEpochsGo) {
  const auto elsewhere = dir_.path() / "elsewhere";
  auto* script = start({"--app-groups", elsewhere.string()});
  script->askJson(item("p1::/a.txt"));
  EXPECT_FALSE(script->ask(R"({"op":"log"})")["lines"].empty());
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "group.com.driftpin.corvane" / "Logs"));
  EXPECT_FALSE(std::filesystem::exists(groups()));
  script->finish();

  auto* without = start({"--no-container"});
  without->askJson(item("p1::/a.txt"));
  EXPECT_EQ(without->ask(R"({"op":"log"})")["lines"], json::array());
  EXPECT_EQ(without->ask(R"({"op":"bump"})"), json::parse(R"({"op":"bump","epoch":null})"));
  EXPECT_TRUE(without->ask(R"({"op":"epoch","value":3})").contains("usage"));
  EXPECT_FALSE(std::filesystem::exists(groups()));
}

TEST_F(ScriptProtocolTest, HostilePathsAreRefusedAndNothingOutsideTheShareIsTouched) {
  const auto outside = dir_.path() / "outside";
  writeFile(outside / "secret.txt", "top secret");
  std::filesystem::create_symlink("../outside", share() / "up");
  std::filesystem::create_symlink("../outside/secret.txt", share() / "fileLink");
  auto* script = connected();
  const std::string deep = "p1::/" + std::string(5000, 'd');
  const json kRefused[] = {
      item("p1::/../outside/secret.txt"),
      item("p1::/Docs/../../outside"),
      item(deep),
      {{"op", "fetch"}, {"id", "p1::/up/secret.txt"}},
      {{"op", "fetch"}, {"id", "p1::/../outside/secret.txt"}},
      {{"op", "fetch"}, {"id", "p1:://../outside/secret.txt"}},
      {{"op", "delete"}, {"id", "p1::/up/secret.txt"}},
      {{"op", "delete"}, {"id", "p1::/../outside"}},
      {{"op", "create"}, {"parent", "p1::/up"}, {"filename", "new.txt"}},
      {{"op", "create"}, {"parent", kRoot}, {"filename", "../new.txt"}},
      {{"op", "create"}, {"parent", "p1::/Docs/.."}, {"filename", "new.txt"}},
      {{"op", "modify"},
       {"item", {{"identifier", "p1::/a.txt"}, {"parent", kRoot}, {"filename", "../../outside/a.txt"}}},
       {"fields", {"filename"}}},
  };
  for (const json& line : kRefused) {
    const json reply = script->askJson(line);
    EXPECT_TRUE(reply.contains("error") && !reply["error"].is_null()) << line.dump() << " -> " << reply.dump();
  }
  // A move is not the peer's to make: handed back as received, nothing moved.
  EXPECT_EQ(script->askJson(json{{"op", "modify"},
                                 {"item", {{"identifier", "p1::/a.txt"}, {"parent", "p1::/up"}, {"filename", "a.txt"}}},
                                 {"fields", {"parentItemIdentifier"}}})["fields"],
            json::array());
  // Doubled and trailing slashes lead nowhere new: refused, or the share's own
  // file (an identifier keeps the text it was given).
  for (const char* id : {"p1:://a.txt", "p1::/Docs/", "p1::/Docs//"}) {
    const json reply = script->askJson(item(id));
    if (reply["error"].is_null()) {
      EXPECT_TRUE(reply["item"]["filename"] == "a.txt" || reply["item"]["filename"] == "Docs") << reply.dump();
    }
  }
  EXPECT_EQ(readFile(outside / "secret.txt"), "top secret");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
  EXPECT_EQ(readFile(share() / "a.txt"), "hello");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "new.txt"));
}

}  // namespace
}  // namespace corvane::testing
