#include "host/stream/TransferBoard.h"

#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/TempDir.h"

namespace corvane::host {
namespace {

using corvane::testing::readFile;
using corvane::testing::TempDir;

nlohmann::json listed(const std::filesystem::path& file) { return nlohmann::json::parse(readFile(file))["transfers"]; }

TEST(TransferBoard, ListsTransfersWithTheirBytesUntilTheyEnd) {
  TempDir dir;
  const auto file = dir.path() / "transfers.json";
  auto board = TransferBoard::create(file);
  auto fetch = board->begin(TransferBoard::Direction::fetch, "/a.bin", 100);
  auto upload = board->begin(TransferBoard::Direction::upload, "/b.bin", 50);
  ASSERT_EQ(listed(file).size(), 2u);  // told at once
  EXPECT_EQ(listed(file)[0]["direction"], "fetch");
  EXPECT_EQ(listed(file)[1]["done"], 0);

  // Bytes are told at most four times a second: after a quarter, the next advance writes.
  upload->advance(20);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  upload->advance(10);
  EXPECT_EQ(listed(file)[1]["done"], 30);

  fetch.reset();  // ended, finished or failed
  ASSERT_EQ(listed(file).size(), 1u);
  EXPECT_EQ(listed(file)[0]["path"], "/b.bin");
  EXPECT_EQ(listed(file)[0]["size"], 50);
  upload.reset();
  EXPECT_TRUE(listed(file).empty());
}

}  // namespace
}  // namespace corvane::host
