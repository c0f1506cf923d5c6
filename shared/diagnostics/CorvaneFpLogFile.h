// Appends one encoded record to the event-log file: one open, seek, write and
// close per record, recreating the folder and file when they have gone. Runs on
// the log's writer queue only; failures go to the system log.
#pragma once

#include <filesystem>
#include <string_view>

namespace corvane::CorvaneFpLogFile {

inline constexpr std::string_view kFileName = "corvane-fileprovider.jsonl";

// Appends `line` (one complete record, line feed included) to `file`, which is
// `logsDirectory`/corvane-fileprovider.jsonl. A missing folder is created with its
// parents and a missing file is written whole, atomically. Errors are reported as
// "[FPLog] write failed: ..." (the line is dropped) or "[FPLog] close failed: ...".
void append(const std::filesystem::path& logsDirectory, const std::filesystem::path& file, std::string_view line);

}  // namespace corvane::CorvaneFpLogFile
