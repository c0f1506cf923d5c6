// Test fixture for the event log: a fresh App Group container per test, a captured
// system log, a forgotten boot record, and the log file's lines read back after
// the writer queue has drained, with each timestamp checked and replaced by "TS".
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/oslog/CapturingSink.h"
#include "tests/support/TempDir.h"

namespace corvane::testing {

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path logsFolder() const;
  std::filesystem::path logFile() const;

  // Every line of the file once the writer queue is idle, without its line feed.
  // A timestamp in the expected form reads "TS"; when `normaliseSrc`, the line
  // number after a source file name reads "N".
  std::vector<std::string> lines(bool normaliseSrc = false) const;

  // lines(true) with each flow id read as "F" and each elapsed time as "E".
  std::vector<std::string> normalisedLines() const;

  // The records of the given event, parsed, in file order.
  std::vector<nlohmann::json> records(std::string_view event) const;

  // The boot record this process writes into this fixture's container.
  std::string bootLine() const;

  TempDir dir_;
  ScopedEnv groups_{"CORVANE_APP_GROUPS", dir_.path().string()};
  std::shared_ptr<oslog::CapturingSink> systemLog_ = std::make_shared<oslog::CapturingSink>();
  oslog::ScopedSink capture_{systemLog_};
};

// A whole record as lines(true) reads it: `fields` are the keys between "event"
// and "target", `src` the writing file's name.
std::string logLine(const std::string& level, const std::string& event, const std::string& fields,
                    const std::string& src);

// Writes `path` as the log writes a text: each solidus preceded by a reverse solidus.
std::string escapedPath(const std::filesystem::path& path);

}  // namespace corvane::testing
