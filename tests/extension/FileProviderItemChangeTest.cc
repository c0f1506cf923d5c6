// Fetch, create, modify and delete through the real link against a scripted host:
// what reaches the host, what the framework gets back, what the request trace
// records, and that no staged copy outlives its upload.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/ScriptedHost.h"
#include "tests/support/Waiter.h"

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;
using Kind = FileProviderItem::Kind;
using testing::ScriptedHost;
using testing::Waiter;
using Entry = std::shared_ptr<const VfsFileEntryDto>;
using json = nlohmann::json;

constexpr const char* kHostDomain = "com.vandrel.corvane.vfs.xpc";

foundation::Error hostError(std::int64_t code, std::optional<std::string> codeText = std::nullopt) {
  foundation::UserInfo info{{foundation::kLocalizedDescriptionKey, std::string("host says no")}};
  if (codeText) info.emplace("corvane.error.code", *codeText);
  return foundation::Error(kHostDomain, code, std::move(info));
}

Entry entry(std::string name, bool isDir = false) {
  return std::make_shared<VfsFileEntryDto>(std::move(name), isDir, 42, 1700000000000);
}

std::shared_ptr<FileProviderItem> localItem(std::string id, std::string parent, std::string name,
                                            Kind kind = Kind::file) {
  return std::make_shared<FileProviderItem>(ItemIdentifier(std::move(id)), ItemIdentifier(std::move(parent)),
                                            std::move(name), kind, 0, 0, 0);
}

struct ChangeAnswer {
  fileprovider::ItemPtr item;
  fileprovider::ItemFields remaining = 0;
  bool fetch = false;
  std::optional<foundation::Error> error;
};

class ItemChangeTest : public testing::EventLogTest {
 protected:
  void SetUp() override {
    EventLogTest::SetUp();
    fresh();
  }
  void TearDown() override {
    extension_->invalidate();
    extension_.reset();
    EventLogTest::TearDown();
  }

  // A new extension, host and log file: the start of one table case.
  void fresh() {
    if (extension_) extension_->invalidate();
    CorvaneFpLog::drain();
    std::filesystem::remove(logFile());
    extension_ = FileProviderExtension::create({"p1", "Peer One"});
    host_ = std::make_shared<ScriptedHost>();
    host_->onStatItem = [](const std::string&, const std::string& path, auto reply) {
      reply(entry(path.substr(path.rfind('/') + 1)), std::nullopt);
    };
    extension_->supportedServiceSources(ItemIdentifier::rootContainer(),
                                        [&](auto sources, auto) { source_ = sources->at(0); });
  }

  void link() {
    side_ = testing::connectHost(source_->makeListenerEndpoint(), host_);
    auto answer = side_.activate("p1");
    ASSERT_TRUE(answer.has_value() && !answer->has_value());
  }

  // Host calls other than the probe.
  std::vector<std::string> calls() {
    auto all = host_->calls();
    std::erase_if(all, [](const std::string& call) { return call.starts_with("ping "); });
    return all;
  }

  std::vector<json> events(std::string_view name) {
    std::vector<json> found;
    for (const std::string& line : lines()) {
      auto record = json::parse(line);
      if (record["event"] == name) found.push_back(record);
    }
    return found;
  }
  // The one outcome record of the request.
  json outcome() {
    auto done = events("mount.request_done");
    auto failed = events("mount.request_fail");
    EXPECT_EQ(done.size() + failed.size(), 1u);
    return done.empty() ? (failed.empty() ? json() : failed[0]) : done[0];
  }

  std::vector<std::filesystem::path> stagedFiles() {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& file : std::filesystem::directory_iterator(stagingFolder(), ec)) found.push_back(file.path());
    return found;
  }
  std::filesystem::path stagingFolder() const { return dir_.path() / "group.com.driftpin.corvane" / "UploadStaging"; }

  // Each request's completion must come exactly once; the waiters count it.
  template <typename F>
  ChangeAnswer await(F start) {
    auto answer = std::make_shared<Waiter<ChangeAnswer>>();
    progress_ = start([answer](auto item, auto fields, bool fetch, auto error) {
      answer->set({std::move(item), fields, fetch, std::move(error)});
    });
    auto result = answer->wait();
    EXPECT_EQ(answer->count(), 1);
    return result.value_or(ChangeAnswer{nullptr, 0, false, foundation::Error("test", 0)});  // no answer at all
  }
  ChangeAnswer create(fileprovider::ItemPtr tmpl, std::optional<std::filesystem::path> contents,
                      fileprovider::CreateItemOptions options = 0) {
    return await([&](auto done) { return extension_->createItem(tmpl, 0, contents, options, request_, done); });
  }
  ChangeAnswer modify(fileprovider::ItemPtr item, fileprovider::ItemFields fields,
                      std::optional<std::filesystem::path> contents = std::nullopt) {
    return await([&](auto done) { return extension_->modifyItem(item, {}, fields, contents, 0, request_, done); });
  }
  std::optional<foundation::Error> remove(const std::string& id) {
    Waiter<std::optional<foundation::Error>> answer;
    progress_ = extension_->deleteItem(ItemIdentifier(id), {}, 0, request_, [&](auto e) { answer.set(e); });
    auto result = answer.wait();
    EXPECT_EQ(answer.count(), 1);
    return result.value_or(foundation::Error("test", 0));
  }

  std::shared_ptr<FileProviderExtension> extension_;
  std::shared_ptr<ScriptedHost> host_ = std::make_shared<ScriptedHost>();
  std::shared_ptr<fileprovider::ServiceSource> source_;
  testing::HostConnection side_;
  fileprovider::Request request_;
  foundation::ProgressPtr progress_;
};

// ---- fetch

struct FetchAnswer {
  std::optional<std::filesystem::path> url;
  fileprovider::ItemPtr item;
  std::optional<foundation::Error> error;
};

class FetchTest : public ItemChangeTest {
 protected:
  FetchAnswer fetch(const std::string& id) {
    Waiter<FetchAnswer> answer;
    progress_ = extension_->fetchContents(ItemIdentifier(id), std::nullopt, request_,
                                          [&](auto url, auto item, auto error) { answer.set({url, item, error}); });
    auto result = answer.wait();
    EXPECT_EQ(answer.count(), 1);
    return result.value_or(FetchAnswer{std::nullopt, nullptr, foundation::Error("test", 0)});  // no answer at all
  }
};

TEST_F(FetchTest, LinkDownIsServerUnreachableWithAWarningTraceAndAnErrorEvent) {
  FetchAnswer answer = fetch("p1::/Docs/a.txt");
  ASSERT_TRUE(answer.error.has_value());
  EXPECT_EQ(*answer.error, foundation::Error("NSFileProviderErrorDomain", -1004));
  EXPECT_EQ(progress_->totalUnitCount(), -1);
  json trace = outcome();
  EXPECT_EQ(trace["level"], "WARN");
  EXPECT_EQ(trace["error_code"], "vfs_not_connected");
  EXPECT_EQ(trace["detail"], "/Docs/a.txt");
  auto fetched = events("mount.fetch_contents");
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_EQ(fetched[0]["level"], "ERROR");
  EXPECT_EQ(fetched[0]["error_code"], "vfs_not_connected");
  EXPECT_EQ(fetched[0]["peer"], "p1");
}

TEST_F(FetchTest, HostRepliesShapeTheAnswer) {
  struct Case {
    const char* name;
    std::optional<std::string> url;
    std::optional<foundation::Error> fetchError, statError;
    bool expectItem;
    std::optional<std::int64_t> expectCode;
    const char* expectDetail;
    const char* expectEventCode;  // of "mount.fetch_contents", when one is written
  };
  const Case kCases[] = {
      {"fresh copy and item", "/cache/a.txt", {}, {}, true, {}, "/Docs/a.txt", nullptr},
      {"metadata refresh fails", "/cache/a.txt", {}, hostError(-5, "timeout"), false, {},
       "/Docs/a.txt metadata=timeout", nullptr},
      {"neither URL nor error", {}, {}, {}, true, {}, "/Docs/a.txt", nullptr},
      {"fetch fails without a code text", {}, hostError(-9), {}, false, -1005, "/Docs/a.txt", "io"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    host_->onFetchFileContents = [&](auto&, auto&, auto reply) {
      reply(c.url ? std::optional(xpc::FileURL{*c.url}) : std::nullopt, c.fetchError);
    };
    if (c.statError) host_->onStatItem = [&](auto&, auto&, auto reply) { reply(nullptr, c.statError); };
    link();

    FetchAnswer answer = fetch("p1::/Docs/a.txt");
    EXPECT_EQ(answer.url, c.url ? std::optional<std::filesystem::path>(*c.url) : std::nullopt);
    EXPECT_EQ(answer.item != nullptr, c.expectItem);
    if (answer.item) {
      EXPECT_EQ(answer.item->itemIdentifier().rawValue(), "p1::/Docs/a.txt");
      EXPECT_EQ(answer.item->parentItemIdentifier().rawValue(), "p1::/Docs");
    }
    EXPECT_EQ(answer.error ? std::optional(answer.error->code()) : std::nullopt, c.expectCode);
    EXPECT_EQ(progress_->totalUnitCount(), c.expectCode ? -1 : 1);
    EXPECT_EQ(outcome()["detail"], c.expectDetail);
    EXPECT_EQ(events("mount.fetch_contents").size(), c.expectEventCode ? 1u : 0u);
    if (c.expectEventCode) {
      EXPECT_EQ(events("mount.fetch_contents")[0]["error_code"], c.expectEventCode);
    }
    auto flows = host_->flowIds();
    EXPECT_EQ(flows.back(), outcome()["flow_id"]) << "every host call carries the trace's flow id";
  }
}

// ---- requests that name no peer item

TEST_F(ItemChangeTest, ContainersAndForeignIdentifiersAreNoSuchItemWithoutAHostCall) {
  link();
  auto trash = ItemIdentifier::trashContainer().rawValue();
  auto root = ItemIdentifier::rootContainer().rawValue();
  const std::function<std::optional<foundation::Error>()> kRequests[] = {
      [&] { return remove(root); },
      [&] { return remove(ItemIdentifier::workingSet().rawValue()); },
      [&] { return create(localItem("new", trash, "a.txt"), std::nullopt).error; },
      [&] { return modify(localItem(root, root, "x"), fileprovider::ItemField::filename).error; },
      [&] {
        Waiter<std::optional<foundation::Error>> answer;
        extension_->fetchContents(ItemIdentifier(root), std::nullopt, request_,
                                  [&](auto, auto, auto error) { answer.set(error); });
        return answer.wait().value_or(std::nullopt);
      },
  };
  for (const auto& request : kRequests) {
    EXPECT_EQ(request(), foundation::Error("NSFileProviderErrorDomain", -1005));
  }
  EXPECT_TRUE(calls().empty());
  for (const json& failed : events("mount.request_fail")) {
    EXPECT_EQ(failed["error_code"], "not_found");
    EXPECT_EQ(failed["retryable"], false);
  }
}

// ---- create

TEST_F(ItemChangeTest, EachCreatePlanMakesItsHostCalls) {
  testing::writeFile(dir_.path() / "src" / "a.txt", "new bytes");
  const std::filesystem::path contents = dir_.path() / "src" / "a.txt";
  struct Case {
    const char* name;
    Kind kind;
    bool withContents;
    fileprovider::CreateItemOptions options;
    std::vector<std::string> expectCalls;
    Kind expectKind;
    std::string expectUploaded;  // bytes the host read from the staged file
  };
  const Case kCases[] = {
      {"folder", Kind::directory, false, 0, {"createDirectory p1 /Docs/new"}, Kind::directory, ""},
      {"folder with contents", Kind::directory, true, 0, {"createDirectory p1 /Docs/new"}, Kind::directory, ""},
      {"file with contents", Kind::file, true, 0,
       {"uploadFile p1 /Docs/new", "statItem p1 /Docs/new"}, Kind::file, "new bytes"},
      {"empty file", Kind::file, false, 0, {"uploadFile p1 /Docs/new", "statItem p1 /Docs/new"}, Kind::file, ""},
      {"existing folder", Kind::directory, true, fileprovider::CreateItemOption::mayAlreadyExist,
       {"statItem p1 /Docs/new"}, Kind::directory, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(entry("new", c.expectKind == Kind::directory), {}); };
    host_->onCreateDirectory = [](auto&, auto&, auto reply) { reply(std::nullopt); };
    std::string uploaded;
    host_->onUploadFile = [&](auto&, const std::string& local, auto&, auto reply) {
      EXPECT_EQ(std::filesystem::path(local).parent_path(), stagingFolder());
      uploaded = testing::readFile(local);
      reply(std::nullopt);
    };
    link();

    ChangeAnswer answer = create(localItem("pending", "p1::/Docs", "new", c.kind),
                                 c.withContents ? std::optional(contents) : std::nullopt, c.options);
    EXPECT_FALSE(answer.error.has_value());
    ASSERT_NE(answer.item, nullptr);
    EXPECT_EQ(answer.item->itemIdentifier().rawValue(), "p1::/Docs/new");
    EXPECT_EQ(std::dynamic_pointer_cast<const FileProviderItem>(answer.item)->kind(), c.expectKind);
    EXPECT_EQ(answer.remaining, 0u);
    EXPECT_FALSE(answer.fetch);
    EXPECT_EQ(progress_->completedUnitCount(), 1);
    EXPECT_EQ(calls(), c.expectCalls);
    EXPECT_EQ(uploaded, c.expectUploaded);
    EXPECT_TRUE(stagedFiles().empty()) << "the staged copy is removed once the host answered";
    EXPECT_EQ(testing::readFile(contents), "new bytes") << "the framework's file is left alone";
  }
}

TEST_F(ItemChangeTest, RemotePathJoinsParentAndNameWithOneSlash) {
  const std::pair<std::string, std::string> kCases[] = {
      {ItemIdentifier::rootContainer().rawValue(), "createDirectory p1 /new"},
      {"p2::/", "createDirectory p2 /new"},
      {"p1::/Docs", "createDirectory p1 /Docs/new"},
  };
  host_->onCreateDirectory = [](auto&, auto&, auto reply) { reply(std::nullopt); };
  link();
  for (const auto& [parent, expectCall] : kCases) {
    create(localItem("pending", parent, "new", Kind::directory), std::nullopt);
    EXPECT_EQ(calls().back(), expectCall);
  }
}

TEST_F(ItemChangeTest, ReimportReconcilesWithWhatTheHostHas) {
  struct Case {
    const char* name;
    Entry entry;
    std::optional<foundation::Error> error;
    bool expectItem;
    std::optional<std::int64_t> expectCode;
    const char* expectDetail;
  };
  const Case kCases[] = {
      {"present", entry("a.txt"), {}, true, {}, "/a.txt reimport_matched"},
      {"missing by code text", nullptr, hostError(-1, "not_found"), false, {}, "/a.txt reimport_remote_missing"},
      {"missing by number", nullptr, hostError(-9), false, {}, "/a.txt reimport_remote_missing"},
      {"reply empty", nullptr, {}, false, {}, "/a.txt reimport_remote_missing"},
      {"other failure", nullptr, hostError(-8), false, -1003, "/a.txt"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(c.entry, c.error); };
    link();
    ChangeAnswer answer = create(localItem("pending", ItemIdentifier::rootContainer().rawValue(), "a.txt"),
                                 std::nullopt, fileprovider::CreateItemOption::mayAlreadyExist);
    EXPECT_EQ(answer.item != nullptr, c.expectItem);
    EXPECT_EQ(answer.error ? std::optional(answer.error->code()) : std::nullopt, c.expectCode);
    EXPECT_EQ(outcome()["detail"], c.expectDetail);
    EXPECT_EQ(calls(), std::vector<std::string>{"statItem p1 /a.txt"}) << "nothing is created on a reimport";
  }
}

TEST_F(ItemChangeTest, FailedUploadStillRemovesTheStagedCopy) {
  host_->onUploadFile = [](auto&, auto&, auto&, auto reply) { reply(hostError(-23, "no_space")); };
  link();
  ChangeAnswer answer = create(localItem("pending", "p1::/", "a.txt"), std::nullopt);
  EXPECT_EQ(answer.error, foundation::Error("NSFileProviderErrorDomain", -1003,
                                            foundation::UserInfo{{"NSLocalizedDescription", std::string("host says no")}}));
  EXPECT_TRUE(stagedFiles().empty());
  EXPECT_EQ(outcome()["error_code"], "no_space");
}

TEST_F(ItemChangeTest, StagingFailuresAreCannotSynchronizeWithTheCause) {
  link();
  ChangeAnswer unreadable = create(localItem("pending", "p1::/", "a.txt"), dir_.path() / "missing.txt");
  ASSERT_TRUE(unreadable.error.has_value());
  EXPECT_EQ(unreadable.error->code(), -2005);
  ASSERT_NE(unreadable.error->underlyingError(), nullptr);
  EXPECT_EQ(unreadable.error->underlyingError()->code(), 260);

  // Nowhere to form an App Group container from.
  testing::ScopedEnv groups("CORVANE_APP_GROUPS", std::nullopt), data("XDG_DATA_HOME", std::nullopt),
      home("HOME", std::nullopt);
  ChangeAnswer noContainer = create(localItem("pending", "p1::/", "b.txt"), std::nullopt);
  ASSERT_TRUE(noContainer.error.has_value());
  EXPECT_EQ(noContainer.error->domain(), "NSFileProviderErrorDomain");
  EXPECT_EQ(noContainer.error->code(), -2005);
  EXPECT_EQ(noContainer.error->localizedDescription(), "App Group container is unavailable");
  const foundation::Error* cause = noContainer.error->underlyingError();
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->domain(), "io.corvane.fileprovider");
  EXPECT_EQ(cause->code(), 2);
  EXPECT_TRUE(calls().empty()) << "nothing is uploaded when staging fails";
}

// ---- modify

TEST_F(ItemChangeTest, RenameStaysInTheOldFolderAndReturnsTheNewIdentifier) {
  struct Case {
    std::string id, parent;
    fileprovider::ItemFields fields;
    std::string expectCall, expectId;
  };
  const Case kCases[] = {
      {"p1::/Docs/a.txt", "p1::/Docs", fileprovider::ItemField::filename, "renameItem p1 /Docs/a.txt /Docs/b.txt",
       "p1::/Docs/b.txt"},
      {"p1::/a.txt", ItemIdentifier::rootContainer().rawValue(), fileprovider::ItemField::filename,
       "renameItem p1 /a.txt /b.txt", "p1::/b.txt"},
      {"p1::/Docs/a.txt", "p1::/Other",
       fileprovider::ItemField::filename | fileprovider::ItemField::parentItemIdentifier,
       "renameItem p1 /Docs/a.txt /Docs/b.txt", "p1::/Docs/b.txt"},
  };
  host_->onRenameItem = [](auto&, auto&, auto&, auto reply) { reply(std::nullopt); };
  link();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.id + " in " + c.parent);
    ChangeAnswer answer = modify(localItem(c.id, c.parent, "b.txt"), c.fields);
    ASSERT_NE(answer.item, nullptr);
    EXPECT_EQ(answer.item->itemIdentifier().rawValue(), c.expectId);
    EXPECT_EQ(answer.item->filename(), "b.txt");
    EXPECT_EQ(calls().at(calls().size() - 2), c.expectCall);
  }
}

TEST_F(ItemChangeTest, ChangesThePeerNeedNotHearAboutAreAcceptedAsTheyAre) {
  const std::pair<const char*, fileprovider::ItemFields> kCases[] = {
      {"move without rename", fileprovider::ItemField::parentItemIdentifier},
      {"contents without a URL", fileprovider::ItemField::contents},
      {"metadata only", fileprovider::ItemField::contentModificationDate},
  };
  link();
  for (const auto& [name, fields] : kCases) {
    SCOPED_TRACE(name);
    auto item = localItem("p1::/Docs/a.txt", "p1::/Other", "a.txt");
    ChangeAnswer answer = modify(item, fields);
    EXPECT_EQ(answer.item, item);
    EXPECT_FALSE(answer.error.has_value());
    EXPECT_EQ(events("mount.request_done").back()["detail"], "/Docs/a.txt no_supported_fields");
  }
  EXPECT_TRUE(calls().empty());
}

TEST_F(ItemChangeTest, NewContentsAreUploadedAfterARenameToTheNewPath) {
  testing::writeFile(dir_.path() / "edited", "edited");
  host_->onRenameItem = [](auto&, auto&, auto&, auto reply) { reply(std::nullopt); };
  host_->onUploadFile = [](auto&, auto&, auto&, auto reply) { reply(std::nullopt); };
  host_->onStatItem = [](auto&, auto&, auto reply) { reply(entry("b.txt", true), std::nullopt); };
  link();

  auto both = fileprovider::ItemField::filename | fileprovider::ItemField::contents;
  ChangeAnswer renamed = modify(localItem("p1::/Docs/a.txt", "p1::/Docs", "b.txt"), both, dir_.path() / "edited");
  EXPECT_EQ(calls(), (std::vector<std::string>{"renameItem p1 /Docs/a.txt /Docs/b.txt", "uploadFile p1 /Docs/b.txt",
                                               "statItem p1 /Docs/b.txt"}));
  ASSERT_NE(renamed.item, nullptr);
  EXPECT_EQ(renamed.item->itemIdentifier().rawValue(), "p1::/Docs/b.txt");
  EXPECT_EQ(renamed.remaining, 0u) << "nothing is left for the framework to send";

  ChangeAnswer rewritten =
      modify(localItem("p1::/Docs/c.txt", "p1::/Docs", "c.txt"), fileprovider::ItemField::contents,
             dir_.path() / "edited");
  ASSERT_NE(rewritten.item, nullptr);
  EXPECT_EQ(rewritten.item->itemIdentifier().rawValue(), "p1::/Docs/c.txt");
  EXPECT_EQ(std::dynamic_pointer_cast<const FileProviderItem>(rewritten.item)->kind(), Kind::file)
      << "uploaded contents make a file whatever the host's entry says";
  EXPECT_TRUE(stagedFiles().empty());
}

// ---- delete

TEST_F(ItemChangeTest, DeleteAsksTheHostWhatTheItemIsFirst) {
  struct Case {
    const char* name;
    Entry entry;
    std::optional<foundation::Error> statError, deleteError;
    std::vector<std::string> expectCalls;
    std::optional<std::int64_t> expectCode;
  };
  const Case kCases[] = {
      {"folder", entry("Docs", true), {}, {}, {"statItem p1 /Docs", "deleteItem p1 /Docs dir"}, {}},
      {"missing item", nullptr, {}, {}, {"statItem p1 /Docs"}, -1005},
      {"stat fails", nullptr, hostError(-9), {}, {"statItem p1 /Docs"}, -1005},
      {"folder not empty", entry("Docs", true), {}, hostError(-24),
       {"statItem p1 /Docs", "deleteItem p1 /Docs dir"}, -1007},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(c.entry, c.statError); };
    host_->onDeleteItem = [&](auto&, auto&, bool, auto reply) { reply(c.deleteError); };
    link();
    auto error = remove("p1::/Docs");
    EXPECT_EQ(error ? std::optional(error->code()) : std::nullopt, c.expectCode);
    EXPECT_EQ(calls(), c.expectCalls);
    EXPECT_EQ(progress_->completedUnitCount(), 0);
    EXPECT_EQ(outcome()["detail"], "/Docs");
  }
}

}  // namespace
}  // namespace corvane
