#include "shared/localization/L10nCatalog.h"

#include <nlohmann/json.hpp>

namespace corvane::L10nCatalog {
namespace {

// The members the extension and its tools show, plus the placeholder forms every
// consumer of the catalog relies on. Keys are the exact Chinese interface texts.
constexpr std::string_view kCatalog = R"json({
  "共享文件夹": "Shared folder",
  "共享": "Share",
  "退出{appName}": "Quit {appName}",
  "错误: {0}": "Error: {0}",
  "{0} 发来 {1} 个文件（{2}）": "{0} sent {1} files ({2})",
  "{appName} 2": "{appName} 2",
  "打开{appName}": "Open {appName}",
  "在访达中显示": "Show in Finder",
  "设备": "Devices",
  "已连接": "Connected",
  "未连接": "Not connected",
  "正在连接…": "Connecting…",
  "正在同步": "Syncing",
  "同步完成": "Sync complete",
  "下载失败: {0}": "Download failed: {0}",
  "上传失败: {0}": "Upload failed: {0}",
  "文件夹不为空": "The folder is not empty",
  "已存在同名项目": "An item with the same name already exists",
  "磁盘空间不足": "Not enough disk space",
  "{0} 的共享文件夹已更换": "The shared folder of {0} was replaced",
  "挂载到访达": "Mount in Finder",
  "从访达卸载": "Unmount from Finder",
  "设置": "Settings",
  "取消": "Cancel",
  "好": "OK",
  "多行说明\n第二行": "Multi-line note\nsecond line"
})json";

}  // namespace

const std::map<std::string, std::string, std::less<>>& appNames() {
  static const auto* names =
      new std::map<std::string, std::string, std::less<>>{{"en", "Driftpin"}, {"zh-Hans", "砾帆快传"}};
  return *names;
}

std::string_view catalogText() { return kCatalog; }

std::unordered_map<std::string, std::string> load(std::string_view document) {
  nlohmann::json parsed = nlohmann::json::parse(document, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return {};
  std::unordered_map<std::string, std::string> map;
  for (const auto& [key, value] : parsed.items()) {
    if (!value.is_string()) return {};
    map.emplace(key, value.get<std::string>());
  }
  return map;
}

}  // namespace corvane::L10nCatalog
