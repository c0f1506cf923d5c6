// Costs of the host link, each beside its baseline from the same run:
//   RawSocketRoundTrip/{pinned,spread}  a 128-byte ping-pong over a socketpair
//   StatItemRoundTrip/{pinned,spread}   statItem through proxy, wire, dispatcher and back
//   Listing10kEncodeDecode              a 10,000-entry listing reply written, validated and read
//   ListingBytesMemcpy                  a memcpy of as many bytes as that listing's frame
// "pinned" runs every thread on CPU 0; "spread" puts the calling side on CPU 0 and
// the answering side on CPU 1, so each message wakes a thread on the other CPU.
// Run: build-*/bin/corvane_xpc_benchmark (needs two CPUs for "spread").
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "bench/BenchTable.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"
#include "platform/xpc/Message.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcNullHost.h"

namespace {

enum Placement { kPinned = 0, kSpread = 1 };

bool pinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof(set), &set) == 0;
}

// Threads inherit their creator's CPU set, so the answering side's threads are
// created while the creating thread sits on its CPU.
template <typename F>
bool onAnsweringCpu(Placement p, F&& create) {
  if (!pinTo(p == kSpread ? 1 : 0)) return false;
  create();
  return pinTo(0);
}

void RawSocketRoundTrip(benchmark::State& state) {
  const auto placement = static_cast<Placement>(state.range(0));
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return state.SkipWithError("socketpair");
  std::thread echo;
  if (!onAnsweringCpu(placement, [&] {
        echo = std::thread([fd = fds[1]] {
          char buf[128];
          for (;;) {
            ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n <= 0 || ::write(fd, buf, static_cast<std::size_t>(n)) != n) return;
          }
        });
      })) {
    return state.SkipWithError("cannot pin to CPUs 0 and 1");
  }
  char buf[128] = {};
  for (auto _ : state) {
    if (::write(fds[0], buf, sizeof(buf)) != sizeof(buf)) break;
    std::size_t got = 0;
    while (got < sizeof(buf)) {
      ssize_t n = ::read(fds[0], buf + got, sizeof(buf) - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(fds[0]);
  echo.join();
  ::close(fds[1]);
}

class StatHost final : public corvane::VfsXpcNullHost {
 public:
  void statItem(const std::string&, const std::string& path, const std::string&, EntryReply r) override {
    r(std::make_shared<corvane::VfsFileEntryDto>(path.substr(path.rfind('/') + 1), false, 4096, 1700000000000ull),
      std::nullopt);
  }
};

class Accept final : public xpc::ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& c) override {
    c->setRemoteObjectInterface(corvane::VfsXpcInterfaceBuilder::createInterface());
    c->resume();
    accepted.set_value(c);
    return true;
  }
  std::promise<std::shared_ptr<xpc::Connection>> accepted;
};

void StatItemRoundTrip(benchmark::State& state) {
  const auto placement = static_cast<Placement>(state.range(0));
  if (!pinTo(0)) return state.SkipWithError("cannot pin to CPU 0");
  // The extension's end (listener side) calls; the host's end answers.
  auto listener = xpc::Listener::anonymous();
  auto delegate = std::make_shared<Accept>();
  auto accepted = delegate->accepted.get_future();
  listener->setDelegate(delegate);
  listener->resume();
  std::shared_ptr<xpc::Connection> host;
  if (!onAnsweringCpu(placement, [&] {
        host = xpc::Connection::withEndpoint(listener->endpoint());
        host->setExportedInterface(corvane::VfsXpcInterfaceBuilder::createInterface());
        host->setExportedObject<corvane::VfsXpcProtocol>(std::make_shared<StatHost>());
        host->resume();
      })) {
    return state.SkipWithError("cannot pin to CPUs 0 and 1");
  }
  auto extension = accepted.get();
  auto vfs = extension->remoteObjectProxy<corvane::VfsXpcProtocol>();

  std::atomic<std::uint32_t> replies{0};
  std::uint32_t expected = 0;
  for (auto _ : state) {
    vfs->statItem("peer-1", "/Docs/report.pdf", "6f1c2a4e-0b7d-4c55-9a1e-2f0c3d4b5a69",
                  [&](std::shared_ptr<const corvane::VfsFileEntryDto> entry, corvane::VfsXpcProtocol::Error) {
                    benchmark::DoNotOptimize(entry);
                    replies.fetch_add(1, std::memory_order_release);
                    replies.notify_one();
                  });
    ++expected;
    for (std::uint32_t seen = replies.load(std::memory_order_acquire); seen != expected;
         seen = replies.load(std::memory_order_acquire)) {
      replies.wait(seen, std::memory_order_acquire);
    }
  }
  host->invalidate();
  extension->invalidate();
  extension->queue().sync([] {});
  host->queue().sync([] {});
}

std::size_t listingFrameBytes = 0;

void Listing10kEncodeDecode(benchmark::State& state) {
  std::vector<std::shared_ptr<const corvane::VfsFileEntryDto>> entries;
  for (int i = 0; i < 10000; ++i) {
    entries.push_back(std::make_shared<corvane::VfsFileEntryDto>("IMG_" + std::to_string(100000 + i) + ".jpeg",
                                                                 i % 10 == 0, 3'000'000ull + i, 1700000000000ull + i));
  }
  auto interface = corvane::VfsXpcInterfaceBuilder::createInterface();
  const std::size_t method = corvane::VfsXpcProtocol::kListDirectory;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto w = xpc::MessageWriter::reply(1);
    w.writeCodableArray(std::optional(entries));
    w.writeError(std::nullopt);
    xpc::wire::Bytes frame = std::move(w).finish();
    bytes = frame.size();
    auto header = xpc::wire::validateMessage(frame.data() + 4, frame.size() - 4);
    if (!header) return state.SkipWithError("refused its own listing");
    xpc::ArgumentReader reader(header->arguments, *interface, method, true);
    auto decoded = reader.readCodableArray<corvane::VfsFileEntryDto>();
    if (!reader.ok() || decoded->size() != entries.size()) return state.SkipWithError("listing did not decode");
    benchmark::DoNotOptimize(decoded);
  }
  state.counters["frame_bytes"] = static_cast<double>(bytes);
  listingFrameBytes = bytes;
}

// The floor for any encoder: touching each byte of the frame once.
void ListingBytesMemcpy(benchmark::State& state) {
  if (listingFrameBytes == 0) return state.SkipWithError("run Listing10kEncodeDecode first");
  std::vector<std::uint8_t> from(listingFrameBytes, 0x5a);
  std::vector<std::uint8_t> to(listingFrameBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(RawSocketRoundTrip)->ArgName("spread")->Arg(kPinned)->Arg(kSpread)->UseRealTime();
BENCHMARK(StatItemRoundTrip)->ArgName("spread")->Arg(kPinned)->Arg(kSpread)->UseRealTime();
BENCHMARK(Listing10kEncodeDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ListingBytesMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the usual table, then the layer-to-socket ratios of this run.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so logs stay plain text.
  RatioReporter() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (!r.error_occurred) microseconds_[r.benchmark_name()] = r.GetAdjustedRealTime() * unitToMicros(r.time_unit);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-8s %12s %12s %8s   (target: ratio <= 3)\n", "", "raw us", "statItem us", "ratio");
    for (const char* placement : {"pinned", "spread"}) {
      const std::string arg = std::string("/spread:") + (placement[0] == 'p' ? "0" : "1") + "/real_time";
      auto raw = microseconds_.find("RawSocketRoundTrip" + arg);
      auto layer = microseconds_.find("StatItemRoundTrip" + arg);
      if (raw == microseconds_.end() || layer == microseconds_.end()) continue;
      std::printf("%-8s %12.2f %12.2f %8.2f\n", placement, raw->second, layer->second, layer->second / raw->second);
      rows_.push_back([=, raw = raw->second, layer = layer->second] {
        using namespace corvane::bench;
        tableRow(std::string("statItem round trip, ") + placement, figure(layer, "us"), figure(raw, "us raw socket"),
                 layer / raw, "ratio <= 3", layer / raw <= 3);
      });
    }
    auto listing = microseconds_.find("Listing10kEncodeDecode/real_time");
    if (listing != microseconds_.end()) {
      std::printf("10,000-entry listing encode+decode: %.2f ms (target: < 10 ms)\n", listing->second / 1000.0);
      auto copy = microseconds_.find("ListingBytesMemcpy/real_time");
      if (copy != microseconds_.end()) {
        std::printf("memcpy of the same bytes: %.3f ms, ratio %.1f\n", copy->second / 1000.0,
                    listing->second / copy->second);
        using namespace corvane::bench;
        tableRow("10,000-entry listing encode+decode", figure(listing->second / 1000.0, "ms"),
                 figure(copy->second / 1000.0, "ms memcpy", 3), listing->second / copy->second, "< 10 ms",
                 listing->second < 10000.0);
      }
    }
    for (auto& row : rows_) row();
  }

 private:
  static double unitToMicros(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kNanosecond:
        return 1e-3;
      case benchmark::kMicrosecond:
        return 1;
      case benchmark::kMillisecond:
        return 1e3;
      default:
        return 1e6;
    }
  }
  std::map<std::string, double> microseconds_;
  std::vector<std::function<void()>> rows_;  // printed after the listing, as one block
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
