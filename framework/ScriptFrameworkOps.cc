// The framework ops: each calls one entry point of the extension the way the
// framework would, waits for its completion handler or observer finish through
// the completion recorder, and writes what the framework was handed.
#include "framework/CollectingObservers.h"
#include "framework/ItemTemplate.h"
#include "framework/ScriptOps.h"
#include "platform/foundation/UUID.h"

namespace corvane::framework {
namespace {

using OptionalError = std::optional<foundation::Error>;

constexpr auto kTimeout = ScriptSession::kTimeout;

// Adds "timeout": true when the call was not answered in time.
template <typename T>
Json& noteTimeout(Json& reply, const std::optional<T>& answer) {
  if (!answer) reply["timeout"] = true;
  return reply;
}

Json itemsJson(const std::vector<fileprovider::ItemPtr>& items) {
  Json list = Json::array();
  for (const auto& item : items) list.push_back(itemJson(item));
  return list;
}

Json pathJson(const std::optional<std::filesystem::path>& path) {
  if (!path) return nullptr;
  return path->string();
}

// --- ops -------------------------------------------------------------------

Json itemOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto id = args.text("id");
  if (args.mistake()) return {};
  struct Answer {
    fileprovider::ItemPtr item;
    OptionalError error;
  };
  auto call = session.recorder().begin<Answer>(line.op, line.number);
  session.extension().item(fileprovider::ItemIdentifier(id), {},
                           [call](fileprovider::ItemPtr item, OptionalError error) {
                             call->finish("completionHandler", {std::move(item), std::move(error)});
                           });
  auto answer = call->wait(kTimeout);
  Json reply;
  reply["item"] = itemJson(answer ? answer->item : nullptr);
  reply["error"] = errorJson(answer ? answer->error : std::nullopt);
  return noteTimeout(reply, answer);
}

// The enumerator for "container", or the error that refused it.
foundation::Result<std::shared_ptr<fileprovider::Enumerator>> enumeratorFor(ScriptSession& session,
                                                                            const std::string& container) {
  return session.extension().enumerator(fileprovider::ItemIdentifier(container), {});
}

Json enumerateOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto container = args.text("container");
  if (args.mistake()) return {};
  Json reply;
  auto enumerator = enumeratorFor(session, container);
  if (!enumerator.ok()) {
    reply["batches"] = Json::array();
    reply["error"] = errorJson(enumerator.error());
    return reply;
  }
  auto call = session.recorder().begin<Listing>(line.op, line.number);
  (*enumerator)
      ->enumerateItems(std::make_shared<CollectingEnumerationObserver>([call](const char* finishedBy, Listing listing) {
                         call->finish(finishedBy, std::move(listing));
                       }),
                       fileprovider::Page{});
  auto answer = call->wait(kTimeout);
  Json batches = Json::array();
  if (answer) {
    for (const auto& batch : answer->batches) batches.push_back(itemsJson(batch));
  }
  reply["batches"] = std::move(batches);
  reply["error"] = errorJson(answer ? answer->error : std::nullopt);
  return noteTimeout(reply, answer);
}

Json anchorOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto container = args.text("container");
  if (args.mistake()) return {};
  Json reply;
  auto enumerator = enumeratorFor(session, container);
  if (!enumerator.ok()) {
    reply["anchor"] = nullptr;
    return reply;
  }
  auto call = session.recorder().begin<std::optional<fileprovider::SyncAnchor>>(line.op, line.number);
  (*enumerator)->currentSyncAnchor([call](std::optional<fileprovider::SyncAnchor> anchor) {
    call->finish("completionHandler", std::move(anchor));
  });
  auto answer = call->wait(kTimeout);
  reply["anchor"] = answer && *answer ? Json(foundation::hexString((*answer)->rawValue)) : Json(nullptr);
  return noteTimeout(reply, answer);
}

Json changesOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto container = args.text("container");
  const auto anchorText = args.text("anchor");
  auto anchor = dataFromHex(anchorText);
  if (!anchor) args.fail("\"anchor\" must be hex text");
  if (args.mistake()) return {};
  Json reply;
  auto enumerator = enumeratorFor(session, container);
  std::optional<Changes> answer;
  if (!enumerator.ok()) {
    answer.emplace().error = enumerator.error();
  } else {
    auto call = session.recorder().begin<Changes>(line.op, line.number);
    (*enumerator)
        ->enumerateChanges(std::make_shared<CollectingChangeObserver>([call](const char* finishedBy, Changes changes) {
                             call->finish(finishedBy, std::move(changes));
                           }),
                           fileprovider::SyncAnchor{*anchor});
    answer = call->wait(kTimeout);
  }
  Json updated = Json::array();
  Json deleted = Json::array();
  if (answer) {
    for (const auto& batch : answer->updated) updated.push_back(itemsJson(batch));
    for (const auto& batch : answer->deleted) deleted.push_back(batch);
  }
  const bool finished = answer && !answer->error;
  reply["updated"] = std::move(updated);
  reply["deleted"] = std::move(deleted);
  reply["anchor"] = finished && answer->anchor ? Json(foundation::hexString(answer->anchor->rawValue)) : Json(nullptr);
  reply["moreComing"] = finished ? Json(answer->moreComing) : Json(nullptr);
  reply["error"] = errorJson(answer ? answer->error : std::nullopt);
  return noteTimeout(reply, answer);
}

Json fetchOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto id = args.text("id");
  if (args.mistake()) return {};
  struct Answer {
    std::optional<std::filesystem::path> url;
    fileprovider::ItemPtr item;
    OptionalError error;
  };
  auto call = session.recorder().begin<Answer>(line.op, line.number);
  auto progress = session.extension().fetchContents(
      fileprovider::ItemIdentifier(id), std::nullopt, {},
      [call](std::optional<std::filesystem::path> url, fileprovider::ItemPtr item, OptionalError error) {
        call->finish("completionHandler", {std::move(url), std::move(item), std::move(error)});
      });
  auto answer = call->wait(kTimeout);
  Json reply;
  reply["url"] = pathJson(answer ? answer->url : std::nullopt);
  reply["item"] = itemJson(answer ? answer->item : nullptr);
  reply["error"] = errorJson(answer ? answer->error : std::nullopt);
  reply["progress"] = progressJson(progress);
  return noteTimeout(reply, answer);
}

// What create and modify hand back.
struct ItemChange {
  fileprovider::ItemPtr item;
  fileprovider::ItemFields remainingFields = 0;
  bool shouldFetchContent = false;
  OptionalError error;
};

fileprovider::ReplicatedExtension::ItemChangeCompletion finishes(
    std::shared_ptr<CompletionRecorder::Call<ItemChange>> call) {
  return [call](fileprovider::ItemPtr item, fileprovider::ItemFields remaining, bool shouldFetch, OptionalError error) {
    call->finish("completionHandler", {std::move(item), remaining, shouldFetch, std::move(error)});
  };
}

Json itemChangeReply(const std::optional<ItemChange>& answer, const foundation::ProgressPtr& progress) {
  Json reply;
  reply["item"] = itemJson(answer ? answer->item : nullptr);
  reply["fields"] = fieldNamesJson(answer ? answer->remainingFields : 0);
  reply["shouldFetchContent"] = answer ? Json(answer->shouldFetchContent) : Json(nullptr);
  reply["error"] = errorJson(answer ? answer->error : std::nullopt);
  reply["progress"] = progressJson(progress);
  return noteTimeout(reply, answer);
}

std::optional<std::filesystem::path> optionalPath(ScriptArgs& args, const char* key) {
  auto text = args.optionalText(key);
  if (!text) return std::nullopt;
  return std::filesystem::path(*text);
}

Json createOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto parent = args.text("parent");
  const auto filename = args.text("filename");
  const auto contentType = args.optionalText("contentType").value_or("public.data");
  const auto contents = optionalPath(args, "contents");
  const bool mayAlreadyExist = args.flag("mayAlreadyExist");
  if (args.mistake()) return {};
  // A new item's template carries a temporary identifier of the framework's making.
  auto itemTemplate = std::make_shared<ItemTemplate>(foundation::UUID().uuidString(), parent, filename, contentType);
  fileprovider::ItemFields fields = fileprovider::ItemField::filename | fileprovider::ItemField::parentItemIdentifier;
  if (contents) fields |= fileprovider::ItemField::contents;
  auto call = session.recorder().begin<ItemChange>(line.op, line.number);
  auto progress = session.extension().createItem(itemTemplate, fields, contents,
                                                 mayAlreadyExist ? fileprovider::CreateItemOption::mayAlreadyExist : 0,
                                                 {}, finishes(call));
  return itemChangeReply(call->wait(kTimeout), progress);
}

Json modifyOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto* itemObject = args.optionalObject("item");
  if (!itemObject && !args.mistake()) args.fail("\"item\" must be given as an object");
  const nlohmann::json noItem = nlohmann::json::object();
  ScriptArgs itemArgs(itemObject ? *itemObject : noItem);
  const auto identifier = itemArgs.text("identifier");
  const auto parent = itemArgs.text("parent");
  const auto filename = itemArgs.text("filename");
  const auto contentType = itemArgs.optionalText("contentType");
  if (itemArgs.mistake()) args.fail("in \"item\": " + *itemArgs.mistake());

  fileprovider::ItemFields fields = 0;
  if (const auto* names = args.optionalArray("fields")) {
    for (const auto& name : *names) {
      auto bit = name.is_string() ? itemFieldNamed(name.get<std::string>()) : std::nullopt;
      if (!bit) {
        args.fail("unknown field " + name.dump() + " in \"fields\"");
        break;
      }
      fields |= *bit;
    }
  }
  const auto contents = optionalPath(args, "contents");
  if (args.mistake()) return {};

  auto item = std::make_shared<ItemTemplate>(identifier, parent, filename, contentType);
  auto call = session.recorder().begin<ItemChange>(line.op, line.number);
  auto progress =
      session.extension().modifyItem(item, fileprovider::ItemVersion{}, fields, contents, 0, {}, finishes(call));
  return itemChangeReply(call->wait(kTimeout), progress);
}

Json deleteOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto id = args.text("id");
  if (args.mistake()) return {};
  auto call = session.recorder().begin<OptionalError>(line.op, line.number);
  auto progress = session.extension().deleteItem(
      fileprovider::ItemIdentifier(id), fileprovider::ItemVersion{}, 0, {},
      [call](OptionalError error) { call->finish("completionHandler", std::move(error)); });
  auto answer = call->wait(kTimeout);
  Json reply;
  reply["error"] = errorJson(answer ? *answer : std::nullopt);
  reply["progress"] = progressJson(progress);
  return noteTimeout(reply, answer);
}

Json importDidFinishOp(ScriptSession& session, ScriptArgs&, const ScriptLine& line) {
  auto call = session.recorder().begin<bool>(line.op, line.number);
  session.extension().importDidFinish([call] { call->finish("completionHandler", true); });
  auto answer = call->wait(kTimeout);
  Json reply = Json::object();
  return noteTimeout(reply, answer);
}

Json serviceSourcesOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  const auto id = args.text("id");
  if (args.mistake()) return {};
  using Sources = std::vector<std::string>;
  auto call = session.recorder().begin<Sources>(line.op, line.number);
  session.extension().supportedServiceSources(
      fileprovider::ItemIdentifier(id),
      [call](std::optional<std::vector<fileprovider::ServiceSourcePtr>> sources, OptionalError) {
        Sources names;
        for (const auto& source : sources.value_or(std::vector<fileprovider::ServiceSourcePtr>{})) {
          if (source) names.push_back(source->serviceName());
        }
        call->finish("completionHandler", std::move(names));
      });
  auto answer = call->wait(kTimeout);
  Json reply;
  reply["names"] = answer ? Json(*answer) : Json::array();
  return noteTimeout(reply, answer);
}

Json invalidateOp(ScriptSession& session, ScriptArgs&, const ScriptLine&) {
  session.extension().invalidate();
  return Json::object();
}

}  // namespace

void addFrameworkOps(ScriptOpTable& table) {
  table.emplace("item", itemOp);
  table.emplace("enumerate", enumerateOp);
  table.emplace("anchor", anchorOp);
  table.emplace("changes", changesOp);
  table.emplace("fetch", fetchOp);
  table.emplace("create", createOp);
  table.emplace("modify", modifyOp);
  table.emplace("delete", deleteOp);
  table.emplace("importDidFinish", importDidFinishOp);
  table.emplace("serviceSources", serviceSourcesOp);
  table.emplace("invalidate", invalidateOp);
}

}  // namespace corvane::framework
