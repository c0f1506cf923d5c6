// Fetch, create, modify and delete through the real link against a scripted host:
// what reaches the host, what the framework gets back, what the request trace
// records, and that no staged copy outlives its upload.
#include <gtest/gtest.h>

#include "tests/extension/ExtensionTestSupport.h"
#include "tests/support/Waiter.h"

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;
using testing::entry;
using testing::hostError;
using Kind = FileProviderItem::Kind;
using Entry = std::shared_ptr<const VfsFileEntryDto>;
using OptionalError = std::optional<foundation::Error>;
namespace Field = fileprovider::ItemField;

const std::string kRoot = ItemIdentifier::rootContainer().rawValue();

std::shared_ptr<FileProviderItem> localItem(std::string id, std::string parent, std::string name,
                                            Kind kind = Kind::file) {
  return std::make_shared<FileProviderItem>(ItemIdentifier(std::move(id)), ItemIdentifier(std::move(parent)),
                                            std::move(name), kind, 0, 0, 0);
}
std::optional<std::int64_t> codeOf(const OptionalError& error) {
  return error ? std::optional(error->code()) : std::nullopt;
}

// What a request answered: whichever of these its completion carries.
struct Answer {
  std::optional<std::filesystem::path> url;
  fileprovider::ItemPtr item;
  OptionalError error;
  std::string id() const { return item ? item->itemIdentifier().rawValue() : ""; }
  std::optional<Kind> kind() const {
    auto* ours = dynamic_cast<const FileProviderItem*>(item.get());
    return ours ? std::optional(ours->kind()) : std::nullopt;
  }
};

class ItemChangeTest : public testing::ExtensionTest {
 protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    fresh();
  }

  // A new extension, host and log file: the start of one table case.
  void fresh() {
    extension_->invalidate();
    CorvaneFpLog::drain();
    std::filesystem::remove(logFile());
    extension_ = FileProviderExtension::create({"p1", "Peer One"});
    host_ = std::make_shared<testing::ScriptedHost>();
    host_->onStatItem = [](auto&, const std::string& path, auto reply) {
      reply(entry(path.substr(path.rfind('/') + 1)), std::nullopt);
    };
    host_->onCreateDirectory = [](auto&, auto&, auto reply) { reply(std::nullopt); };
    host_->onRenameItem = [](auto&, auto&, auto&, auto reply) { reply(std::nullopt); };
    host_->onUploadFile = [](auto&, auto&, auto&, auto reply) { reply(std::nullopt); };
  }
  bool nothingStaged() const {
    std::error_code ec;
    return std::filesystem::is_empty(dir_.path() / "group.com.driftpin.corvane" / "UploadStaging", ec) || ec;
  }

  // Starts a request with a completion that records its answer, and waits for it;
  // the completion must run exactly once.
  template <typename Start>
  Answer await(Start start) {
    auto answer = std::make_shared<testing::Waiter<Answer>>();
    progress_ = start(answer);
    auto result = answer->wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // room for a second answer
    EXPECT_EQ(answer->count(), 1);
    return result.value_or(Answer{std::nullopt, nullptr, foundation::Error("no answer", 0)});
  }
  Answer fetch(const std::string& id) {
    return await([&](auto a) {
      return extension_->fetchContents(ItemIdentifier(id), std::nullopt, request_,
                                       [a](auto url, auto item, auto error) {
                                         a->set({url, item, error});
                                       });
    });
  }
  Answer create(fileprovider::ItemPtr tmpl, std::optional<std::filesystem::path> contents,
                fileprovider::CreateItemOptions options = 0) {
    return await([&](auto a) {
      return extension_->createItem(tmpl, 0, contents, options, request_, [a](auto item, auto rest, bool f, auto e) {
        EXPECT_TRUE(rest == 0 && !f) << "nothing is ever left for the framework";
        a->set({std::nullopt, item, e});
      });
    });
  }
  Answer modify(fileprovider::ItemPtr item, fileprovider::ItemFields fields,
                std::optional<std::filesystem::path> contents = std::nullopt) {
    return await([&](auto a) {
      return extension_->modifyItem(item, {}, fields, contents, 0, request_, [a](auto it, auto rest, bool f, auto e) {
        EXPECT_TRUE(rest == 0 && !f) << "nothing is ever left for the framework";
        a->set({std::nullopt, it, e});
      });
    });
  }
  Answer remove(const std::string& id) {
    return await([&](auto a) {
      return extension_->deleteItem(ItemIdentifier(id), {}, 0, request_, [a](auto e) {
        a->set({std::nullopt, nullptr, e});
      });
    });
  }

  fileprovider::Request request_;
  foundation::ProgressPtr progress_;
};

TEST_F(ItemChangeTest, FetchWithTheLinkDownWarnsInTheTraceAndErrsInTheEvent) {
  Answer answer = fetch("p1::/Docs/a.txt");
  EXPECT_EQ(answer.error, foundation::Error("NSFileProviderErrorDomain", -1004));
  EXPECT_EQ(progress_->totalUnitCount(), -1);
  EXPECT_EQ(outcome()["level"], "WARN");
  EXPECT_EQ(outcome()["error_code"], "vfs_not_connected");
  auto event = records("mount.fetch_contents");
  ASSERT_EQ(event.size(), 1u);
  EXPECT_EQ(event[0]["level"], "ERROR");
  EXPECT_EQ(event[0]["error_code"], "vfs_not_connected");
  EXPECT_EQ(event[0]["detail"], "/Docs/a.txt");
}

TEST_F(ItemChangeTest, FetchRepliesShapeTheAnswer) {
  struct Case {
    std::optional<std::string> url;
    OptionalError fetchError, statError;
    bool expectItem;
    std::optional<std::int64_t> expectCode;
    std::string expectDetail, expectEventCode;  // event code empty: no event
  };
  const Case kCases[] = {
      {"/cache/a", {}, {}, true, {}, "/Docs/a.txt", ""},
      {"/cache/a", {}, hostError(-5, "timeout"), false, {}, "/Docs/a.txt metadata=timeout", ""},
      {{}, {}, {}, true, {}, "/Docs/a.txt", ""},  // neither URL nor error
      {{}, hostError(-9), {}, false, -1005, "/Docs/a.txt", "io"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expectDetail + " " + c.expectEventCode);
    fresh();
    host_->onFetchFileContents = [&](auto&, auto&, auto reply) {
      reply(c.url ? std::optional(xpc::FileURL{*c.url}) : std::nullopt, c.fetchError);
    };
    if (c.statError) host_->onStatItem = [&](auto&, auto&, auto reply) { reply(nullptr, c.statError); };
    link();

    Answer answer = fetch("p1::/Docs/a.txt");
    EXPECT_EQ(answer.url, c.url ? std::optional<std::filesystem::path>(*c.url) : std::nullopt);
    EXPECT_EQ(answer.item != nullptr, c.expectItem);
    EXPECT_EQ(codeOf(answer.error), c.expectCode);
    EXPECT_EQ(progress_->totalUnitCount(), c.expectCode ? -1 : 1);
    EXPECT_EQ(outcome()["detail"], c.expectDetail);
    EXPECT_EQ(outcome()["flow_id"], host_->flowIds().back()) << "host calls carry the trace's flow id";
    auto events = records("mount.fetch_contents");
    EXPECT_EQ(events.empty() ? "" : events[0]["error_code"].get<std::string>(), c.expectEventCode);
  }
}

TEST_F(ItemChangeTest, ContainersAndForeignParentsAreNoSuchItemWithoutAHostCall) {
  link();
  const std::string trash = ItemIdentifier::trashContainer().rawValue();
  EXPECT_EQ(codeOf(fetch(kRoot).error), -1005);
  EXPECT_EQ(codeOf(remove(ItemIdentifier::workingSet().rawValue()).error), -1005);
  EXPECT_EQ(codeOf(create(localItem("new", trash, "a.txt"), std::nullopt).error), -1005);
  EXPECT_EQ(codeOf(modify(localItem(trash, kRoot, "x"), Field::filename).error), -1005);
  EXPECT_TRUE(calls().empty());
}

TEST_F(ItemChangeTest, EachCreatePlanMakesItsHostCalls) {
  testing::writeFile(dir_.path() / "a.txt", "new bytes");
  const auto mayExist = fileprovider::CreateItemOption::mayAlreadyExist;
  struct Case {
    std::string parent;
    Kind kind;
    bool withContents;
    fileprovider::CreateItemOptions options;
    std::vector<std::string> expectCalls;
    std::string expectId, expectUploaded;  // bytes the host read from the staged file
  };
  const Case kCases[] = {
      {kRoot, Kind::directory, false, 0, {"createDirectory p1 /new"}, "p1::/new", ""},
      {"p1::/Docs", Kind::directory, true, 0, {"createDirectory p1 /Docs/new"}, "p1::/Docs/new", ""},
      {"p2::/", Kind::file, true, 0, {"uploadFile p2 /new", "statItem p2 /new"}, "p2::/new", "new bytes"},
      {"p1::/Docs", Kind::file, false, 0, {"uploadFile p1 /Docs/new", "statItem p1 /Docs/new"}, "p1::/Docs/new", ""},
      {"p1::/Docs", Kind::directory, true, mayExist, {"statItem p1 /Docs/new"}, "p1::/Docs/new", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expectCalls.front());
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(entry("new", c.kind == Kind::directory), {}); };
    std::string uploaded = "(nothing)";
    host_->onUploadFile = [&](auto&, const std::string& staged, auto&, auto reply) {
      uploaded = testing::readFile(staged);
      reply(std::nullopt);
    };
    link();

    Answer answer = create(localItem("pending", c.parent, "new", c.kind),
                           c.withContents ? std::optional(dir_.path() / "a.txt") : std::nullopt, c.options);
    EXPECT_FALSE(answer.error.has_value());
    EXPECT_EQ(answer.id(), c.expectId);
    EXPECT_EQ(answer.kind(), c.kind);
    EXPECT_EQ(progress_->completedUnitCount(), 1);
    EXPECT_EQ(calls(), c.expectCalls);
    if (c.kind == Kind::file) {
      EXPECT_EQ(uploaded, c.expectUploaded);
    }
    EXPECT_TRUE(nothingStaged());
    EXPECT_EQ(testing::readFile(dir_.path() / "a.txt"), "new bytes") << "the framework's file is left alone";
  }
}

TEST_F(ItemChangeTest, ReimportOfAMissingItemCreatesNothingAndSucceeds) {
  const std::pair<Entry, OptionalError> kMissing[] = {
      {nullptr, hostError(-1, "not_found")}, {nullptr, hostError(-9)}, {nullptr, std::nullopt}};
  for (const auto& [reported, error] : kMissing) {
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(reported, error); };
    link();
    Answer answer =
        create(localItem("pending", kRoot, "a.txt"), std::nullopt, fileprovider::CreateItemOption::mayAlreadyExist);
    EXPECT_EQ(answer.item, nullptr);
    EXPECT_FALSE(answer.error.has_value());
    EXPECT_EQ(outcome()["detail"], "/a.txt reimport_remote_missing");
    EXPECT_EQ(calls(), std::vector<std::string>{"statItem p1 /a.txt"});
  }
}

TEST_F(ItemChangeTest, UploadAndStagingFailuresLeaveNothingStaged) {
  struct Case {
    std::string source;
    OptionalError uploadError;
    bool noContainer;
    std::int64_t expectCode;
    std::string expectCause;  // "domain code" of the underlying error
  };
  const Case kCases[] = {
      {"", hostError(-23, "no_space"), false, -1003, ""},
      {"missing.txt", {}, false, -2005, "NSCocoaErrorDomain 260"},
      {"", {}, true, -2005, "io.corvane.fileprovider 2"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expectCode);
    fresh();
    host_->onUploadFile = [&](auto&, auto&, auto&, auto reply) { reply(c.uploadError); };
    link();
    std::optional<testing::ScopedEnv> env[3];
    if (c.noContainer) {  // nowhere to form an App Group container from
      env[0].emplace("CORVANE_APP_GROUPS", std::nullopt);
      env[1].emplace("XDG_DATA_HOME", std::nullopt);
      env[2].emplace("HOME", std::nullopt);
    }
    auto source = c.source.empty() ? std::nullopt : std::optional(dir_.path() / c.source);
    Answer answer = create(localItem("pending", "p1::/", "a.txt"), source);
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code(), c.expectCode);
    const foundation::Error* cause = answer.error->underlyingError();
    EXPECT_EQ(cause ? cause->domain() + " " + std::to_string(cause->code()) : "", c.expectCause);
    if (c.noContainer) {
      EXPECT_EQ(answer.error->localizedDescription(), "App Group container is unavailable");
    }
    EXPECT_TRUE(nothingStaged());
  }
}

TEST_F(ItemChangeTest, ModificationsRenameInTheOldFolderAndUploadContents) {
  testing::writeFile(dir_.path() / "edited", "edited");
  const auto move = Field::parentItemIdentifier;
  struct Case {
    std::string id, parent, name;
    fileprovider::ItemFields fields;
    bool withContents;
    std::vector<std::string> expectCalls;
    std::string expectId, expectDetail;
  };
  const Case kCases[] = {
      {"p1::/Docs/a",
       "p1::/Docs",
       "b",
       Field::filename,
       false,
       {"renameItem p1 /Docs/a /Docs/b", "statItem p1 /Docs/b"},
       "p1::/Docs/b",
       "/Docs/a -> /Docs/b"},
      {"p1::/a", kRoot, "b", Field::filename, false, {"renameItem p1 /a /b", "statItem p1 /b"}, "p1::/b", "/a -> /b"},
      {"p1::/Docs/a",
       "p1::/Other",
       "b",
       Field::filename | move,
       false,
       {"renameItem p1 /Docs/a /Docs/b", "statItem p1 /Docs/b"},
       "p1::/Docs/b",
       "/Docs/a -> /Docs/b"},
      {"p1::/Docs/a", "p1::/Other", "a", move, false, {}, "p1::/Docs/a", "/Docs/a no_supported_fields"},
      {"p1::/Docs/a", "p1::/Docs", "a", Field::contents, false, {}, "p1::/Docs/a", "/Docs/a no_supported_fields"},
      {"p1::/Docs/a",
       "p1::/Docs",
       "a",
       Field::contents,
       true,
       {"uploadFile p1 /Docs/a", "statItem p1 /Docs/a"},
       "p1::/Docs/a",
       "/Docs/a"},
      {"p1::/Docs/a",
       "p1::/Docs",
       "b",
       Field::filename | Field::contents,
       true,
       {"renameItem p1 /Docs/a /Docs/b", "uploadFile p1 /Docs/b", "statItem p1 /Docs/b"},
       "p1::/Docs/b",
       "/Docs/a -> /Docs/b"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expectDetail);
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(entry(c.name, true), std::nullopt); };
    link();
    auto item = localItem(c.id, c.parent, c.name);
    Answer answer = modify(item, c.fields, c.withContents ? std::optional(dir_.path() / "edited") : std::nullopt);
    EXPECT_FALSE(answer.error.has_value());
    EXPECT_EQ(calls(), c.expectCalls);
    EXPECT_EQ(answer.id(), c.expectId);
    EXPECT_EQ(outcome()["detail"], c.expectDetail);
    if (c.expectCalls.empty()) {
      EXPECT_EQ(answer.item, item) << "accepted as received";
    }
    if (c.withContents) {
      EXPECT_EQ(answer.kind(), Kind::file) << "uploaded contents make a file, whatever the host's entry says";
    }
    EXPECT_TRUE(nothingStaged());
  }
}

TEST_F(ItemChangeTest, DeleteAsksTheHostWhatTheItemIsFirst) {
  struct Case {
    Entry entry;
    OptionalError statError, deleteError;
    std::vector<std::string> expectCalls;
    std::optional<std::int64_t> expectCode;
  };
  const Case kCases[] = {
      {entry("Docs", true), {}, {}, {"statItem p1 /Docs", "deleteItem p1 /Docs dir"}, {}},
      {nullptr, {}, {}, {"statItem p1 /Docs"}, -1005},
      {nullptr, hostError(-8), {}, {"statItem p1 /Docs"}, -1003},
      {entry("Docs", true), {}, hostError(-24), {"statItem p1 /Docs", "deleteItem p1 /Docs dir"}, -1007},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expectCalls.back());
    fresh();
    host_->onStatItem = [&](auto&, auto&, auto reply) { reply(c.entry, c.statError); };
    host_->onDeleteItem = [&](auto&, auto&, bool, auto reply) { reply(c.deleteError); };
    link();
    EXPECT_EQ(codeOf(remove("p1::/Docs").error), c.expectCode);
    EXPECT_EQ(calls(), c.expectCalls);
    EXPECT_EQ(progress_->completedUnitCount(), 0);
    EXPECT_EQ(outcome()["detail"], "/Docs");
  }
}

}  // namespace
}  // namespace corvane
