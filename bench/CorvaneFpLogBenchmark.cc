// Throughput of the event log, end to end: CorvaneFpLog::emit until the writer
// queue has appended every record, beside two baselines measured in the same run
// on lines of the same length:
//   - open, seek, write, close per pre-encoded line: the file I/O every record
//     needs, since the log keeps no descriptor open between records;
//   - write(2) on a descriptor held open: the bare cost of the bytes.
// The figure that matters is emit against the first baseline: encoding and
// queueing should cost little beside the I/O the log's format requires.
//
// Run: build with -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCHMARKS=ON, then
//   <build>/bin/corvane_fp_log_benchmark
// The log goes to a fresh temporary App Group container, removed at the end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchTable.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace {

constexpr int kBatch = 256;  // records per timed iteration
constexpr std::string_view kFlowId = "6f1c2a7e-93b4-4d0e-8a51-0c9e2f4b7d13";

std::filesystem::path gContainerRoot;
std::string gLine;  // a pre-encoded line as long as the records emit() writes

std::filesystem::path logFile() {
  return gContainerRoot / "group.com.driftpin.corvane" / "Logs" / "corvane-fileprovider.jsonl";
}

// Beside the log file, so both baselines walk a path as long as the log's.
std::filesystem::path baselineFile() { return logFile().parent_path() / "baseline.jsonl"; }

// A record like the one every finished request writes.
void emitTypical(std::uint64_t n) {
  corvane::CorvaneFpLog::emit({.event = "mount.request_done",
                               .level = "DEBUG",
                               .peer = "peer-4c2d9a",
                               .operation = "file_provider.enumerate_items",
                               .detail = "/Photos/2024/summer",
                               .elapsedMs = n % 1000,
                               .flowId = kFlowId});
}

// Empties the file, creating it when missing; false when that fails.
bool truncate(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void BM_EmitUntilWritten(benchmark::State& state) {
  corvane::CorvaneFpLog::drain();
  if (!truncate(logFile())) return state.SkipWithError("cannot create the log file");
  std::uint64_t n = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) emitTypical(++n);
    corvane::CorvaneFpLog::drain();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_OpenSeekWriteClose(benchmark::State& state) {
  const std::string path = baselineFile().string();
  if (!truncate(baselineFile())) return state.SkipWithError("cannot create the baseline file");
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd < 0) return state.SkipWithError("open failed");
      ::lseek(fd, 0, SEEK_END);
      benchmark::DoNotOptimize(::write(fd, gLine.data(), gLine.size()));
      ::close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_WriteOnOpenDescriptor(benchmark::State& state) {
  if (!truncate(baselineFile())) return state.SkipWithError("cannot create the baseline file");
  int fd = ::open(baselineFile().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return state.SkipWithError("open failed");
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(::write(fd, gLine.data(), gLine.size()));
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_EmitUntilWritten)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_OpenSeekWriteClose)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_WriteOnOpenDescriptor)->UseRealTime()->MinTime(1.0);

// Prints the usual table and keeps each benchmark's records per second.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) perSecond[run.run_name.function_name] = it->second.value;
    }
  }
  std::map<std::string, double> perSecond;
};

// Makes the container, writes the boot record, and measures the length of one
// typical record so the baselines write lines of the same size.
bool prepare() {
  char pattern[] = "/tmp/corvane-log-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return false;
  gContainerRoot = pattern;
  ::setenv("CORVANE_APP_GROUPS", pattern, 1);
  emitTypical(0);
  corvane::CorvaneFpLog::drain();
  const auto before = std::filesystem::file_size(logFile());
  emitTypical(1);
  corvane::CorvaneFpLog::drain();
  const auto length = std::filesystem::file_size(logFile()) - before;
  gLine = std::string(length - 1, 'x') + "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!prepare()) {
    std::fprintf(stderr, "cannot create a temporary App Group container\n");
    return 1;
  }
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double emit = reporter.perSecond["BM_EmitUntilWritten"];
  const double perRecordIo = reporter.perSecond["BM_OpenSeekWriteClose"];
  const double bareWrite = reporter.perSecond["BM_WriteOnOpenDescriptor"];
  std::printf("\nrecord length: %zu bytes\n", gLine.size());
  std::printf("emit, until written:           %12.0f records/s\n", emit);
  std::printf("open+seek+write+close:         %12.0f records/s\n", perRecordIo);
  std::printf("write(2) on an open descriptor:%12.0f records/s\n", bareWrite);
  if (perRecordIo > 0 && bareWrite > 0) {
    std::printf("emit / open+seek+write+close:  %11.1f %%  (target >= 70 %%)\n", 100 * emit / perRecordIo);
    std::printf("emit / write(2):               %11.1f %%\n", 100 * emit / bareWrite);
    using namespace corvane::bench;
    tableRow("event log emit", figure(emit, "records/s", 0), figure(perRecordIo, "records/s open+write+close", 0),
             emit / perRecordIo, "ratio >= 0.70", emit / perRecordIo >= 0.70);
  }
  std::error_code ignored;
  std::filesystem::remove_all(gContainerRoot, ignored);
  benchmark::Shutdown();
  return 0;
}
