// Test fixture for the event log: a fresh App Group container per test, a captured
// system log, a forgotten boot record, and the log file's lines read back after
// the writer queue has drained, with each timestamp checked and replaced by "TS".
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

  // The boot record this process writes into this fixture's container.
  std::string bootLine() const;

  TempDir dir_;
  ScopedEnv groups_{"CORVANE_APP_GROUPS", dir_.path().string()};
  std::shared_ptr<oslog::CapturingSink> systemLog_ = std::make_shared<oslog::CapturingSink>();
  oslog::ScopedSink capture_{systemLog_};
};

// Writes `path` as the log writes a text: each solidus preceded by a reverse solidus.
std::string escapedPath(const std::filesystem::path& path);

}  // namespace corvane::testing
