#include "framework/DemoJob.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <sstream>

#include "framework/HostProcess.h"
#include "framework/SampleShare.h"
#include "framework/ScriptRunner.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane::framework {
namespace {

constexpr const char* kPeer = "sample";
constexpr const char* kRoot = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

// The value at `keys` below `value`; null when a step is missing, so a reply of
// an unexpected shape prints as "?" rather than ending the demo.
const Json& at(const Json& value, std::initializer_list<const char*> keys) {
  static const Json kNull;
  const Json* current = &value;
  for (const char* key : keys) {
    if (!current->is_object() || !current->contains(key)) return kNull;
    current = &(*current)[key];
  }
  return *current;
}

std::string text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.is_null() ? "?" : value.dump();
}

// The share path of a peer item identifier ("sample::/a/b" gives "/a/b").
std::string sharePath(const std::string& identifier) {
  const auto parsed = FileProviderItemIdentifierCodec::parse(identifier);
  return parsed ? parsed->path : identifier;
}
std::string sharePathOf(const Json& item) { return sharePath(text(at(item, {"identifier"}))); }

std::string displayName(const Json& item) {
  return text(at(item, {"filename"})) + (at(item, {"kind"}) == "directory" ? "/" : "");
}

// What went wrong in a reply, or empty when nothing did.
std::string problem(const Json& reply) {
  if (reply.contains("usage")) return text(at(reply, {"usage"}));
  if (reply.contains("timeout")) return "no answer within 10 s";
  const Json& error = at(reply, {"error"});
  if (!error.is_object()) return {};
  std::string code = text(at(error, {"domain"})) + " " + text(at(error, {"code"}));
  const Json& description = at(error, {"userInfo", "NSLocalizedDescription"});
  return description.is_string() ? description.get<std::string>() + " (" + code + ")" : code;
}

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::optional<std::filesystem::path> makeWorkFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-demo-XXXXXX";
  if (!::mkdtemp(pattern.data())) return std::nullopt;
  return std::filesystem::path(pattern);
}

// Runs the steps and prints one line for each.
class Demo {
 public:
  Demo(ScriptRunner& runner, const DemoOptions& options, std::ostream& out)
      : runner_(runner), options_(options), out_(out) {}

  // Runs `input` as the next script line and prints `describe(reply)`, or the
  // problem, or (for --json) the reply itself. Returns the reply.
  Json step(Json input, const std::string& what, const std::function<std::string(const Json&)>& describe) {
    Json reply = runner_.handle(nlohmann::json::parse(input.dump()), ++line_);
    std::string trouble = problem(reply);
    if (!trouble.empty()) ++failures_;
    if (options_.json) {
      print(jsonLine(reply));
    } else {
      print(trouble.empty() ? describe(reply) : what + " failed: " + trouble);
    }
    return reply;
  }

  void print(const std::string& line) { out_ << line << '\n' << std::flush; }
  void printEnd() {
    Json end = runner_.end();
    if (options_.json) {
      print(jsonLine(end));
    } else if (!end["violations"].empty()) {
      print("completion violations: " + jsonLine(end["violations"]));
    }
    if (!end["violations"].empty()) ++failures_;
  }
  int failures() const { return failures_; }
  bool json() const { return options_.json; }

 private:
  ScriptRunner& runner_;
  const DemoOptions& options_;
  std::ostream& out_;
  std::size_t line_ = 0;
  int failures_ = 0;
};

Json op(const char* name) {
  Json input;
  input["op"] = name;
  return input;
}

// What a file manager does first: list, walk, open a file.
void readSteps(Demo& demo) {
  auto list = op("enumerate");
  list["container"] = kRoot;
  demo.step(list, "list the root", [](const Json& reply) {
    std::string names;
    for (const auto& batch : at(reply, {"batches"})) {
      for (const auto& item : batch) names += (names.empty() ? "" : ", ") + displayName(item);
    }
    return "root: " + (names.empty() ? std::string("(empty)") : names);
  });

  list["container"] = kWorkingSet;
  demo.step(list, "walk the working set", [](const Json& reply) {
    std::size_t items = 0;
    const Json& batches = at(reply, {"batches"});
    for (const auto& batch : batches) items += batch.size();
    return "working set: " + std::to_string(items) + " items in " + std::to_string(batches.size()) +
           (batches.size() == 1 ? " batch" : " batches");
  });

  auto fetch = op("fetch");
  fetch["id"] = std::string(kPeer) + "::/" + kSampleWelcomeFile;
  demo.step(fetch, "fetch", [](const Json& reply) {
    return "fetched " + sharePathOf(at(reply, {"item"})) + " (" + text(at(reply, {"item", "size"})) +
           " bytes), first line: \"" + firstLine(text(at(reply, {"url"}))) + "\"";
  });
}

// A file renamed and deleted in a new folder, which goes too.
void writeSteps(Demo& demo, const std::filesystem::path& work) {
  const std::string folderName = "Demo " + std::to_string(::getpid());
  auto makeFolder = op("create");
  makeFolder["parent"] = kRoot;
  makeFolder["filename"] = folderName;
  makeFolder["contentType"] = "public.folder";
  Json folder = demo.step(makeFolder, "create a folder",
                          [](const Json& reply) { return "created folder " + sharePathOf(at(reply, {"item"})); });
  const Json& folderIdentifier = at(folder, {"item", "identifier"});
  if (!folderIdentifier.is_string()) return;
  const std::string folderId = folderIdentifier.get<std::string>();

  const auto contents = work / "hello.txt";
  std::ofstream(contents) << "Hello from corvane-fp demo.\n";
  auto makeFile = op("create");
  makeFile["parent"] = folderId;
  makeFile["filename"] = "hello.txt";
  makeFile["contents"] = contents.string();
  Json file = demo.step(makeFile, "create a file", [](const Json& reply) {
    return "created file " + sharePathOf(at(reply, {"item"})) + " (" + text(at(reply, {"item", "size"})) + " bytes)";
  });

  if (const Json& fileIdentifier = at(file, {"item", "identifier"}); fileIdentifier.is_string()) {
    std::string fileId = fileIdentifier.get<std::string>();
    auto rename = op("modify");
    rename["item"] = {{"identifier", fileId}, {"parent", folderId}, {"filename", "greeting.txt"}};
    rename["fields"] = {"filename"};
    Json renamed = demo.step(rename, "rename", [&](const Json& reply) {
      return "renamed " + sharePath(fileId) + " to " + text(at(reply, {"item", "filename"}));
    });
    if (const Json& renamedIdentifier = at(renamed, {"item", "identifier"}); renamedIdentifier.is_string()) {
      fileId = renamedIdentifier.get<std::string>();
    }

    auto remove = op("delete");
    remove["id"] = fileId;
    demo.step(remove, "delete the file", [&](const Json&) { return "deleted " + sharePath(fileId); });
  }

  auto removeFolder = op("delete");
  removeFolder["id"] = folderId;
  demo.step(removeFolder, "delete the folder", [&](const Json&) { return "deleted folder " + sharePath(folderId); });
}

void runSteps(Demo& demo, ScriptSession& session, const HostProcess& hostProcess,
              const std::filesystem::path& work) {
  Json connected = demo.step(op("connect"), "connect", [&](const Json&) {
    return "connected: corvane-vfs-host (pid " + std::to_string(hostProcess.pid()) + ") serves " +
           session.shareFolder().string() + " as peer \"" + kPeer + "\"";
  });
  if (!problem(connected).empty()) return;  // every later step would fail the same way
  readSteps(demo);
  writeSteps(demo, work);
  demo.step(op("log"), "read the event log", [&](const Json& reply) {
    auto logFile = session.eventLogFile();
    return "event log: " + (logFile ? logFile->string() : std::string("(no App Group container)")) + " (+" +
           std::to_string(at(reply, {"lines"}).size()) + " records this run)";
  });
}

}  // namespace

int runDemo(const DemoOptions& options, std::ostream& out) {
  auto folder = sampleShareFolder();
  if (!folder) {
    std::fprintf(stderr, "corvane-fp demo: set XDG_DATA_HOME or HOME to say where the sample share goes\n");
    return 1;
  }
  if (auto made = ensureSampleShare(*folder); !made.ok()) {
    std::fprintf(stderr, "corvane-fp demo: %s\n", made.error().localizedDescription().c_str());
    return 1;
  }
  auto work = makeWorkFolder();
  if (!work) {
    std::fprintf(stderr, "corvane-fp demo: cannot make a temporary folder\n");
    return 1;
  }
  struct RemoveWork {
    std::filesystem::path path;
    ~RemoveWork() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } removeWork{*work};

  auto session =
      ScriptSession::open({.domainId = kPeer, .displayName = "Sample share", .share = *folder, .inProcessHost = false});
  if (!session.ok()) {
    std::fprintf(stderr, "corvane-fp demo: %s\n", session.error().localizedDescription().c_str());
    return 1;
  }
  const auto hostErrors = *work / "corvane-vfs-host.log";
  auto hostProcess = HostProcess::start(HostProcess::besideThisProgram(),
                                        {"--peer", std::string(kPeer) + "=" + folder->string()}, hostErrors);
  if (!hostProcess.ok()) {
    std::fprintf(stderr, "corvane-fp demo: %s\n", hostProcess.error().localizedDescription().c_str());
    return 1;
  }

  ScriptRunner runner(**session);
  Demo demo(runner, options, out);
  runSteps(demo, **session, **hostProcess, *work);
  demo.printEnd();

  const int hostStatus = (*hostProcess)->stop();
  if (hostStatus != 0 || demo.failures() > 0) {
    std::ifstream log(hostErrors);
    std::stringstream text;
    text << log.rdbuf();
    std::fprintf(stderr, "corvane-fp demo: corvane-vfs-host exited with %d; what it said:\n%s", hostStatus,
                 text.str().c_str());
  }
  if (!demo.json()) demo.print("stopped corvane-vfs-host");
  return demo.failures() == 0 && hostStatus == 0 ? 0 : 1;
}

}  // namespace corvane::framework
