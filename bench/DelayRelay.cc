// corvane_delay_relay DELAY_MS HOST PORT: an ssh ProxyCommand that carries the
// connection to HOST:PORT and holds every byte DELAY_MS in each direction, so
// a benchmark on one machine sees the round trip of a far link (2 x DELAY_MS).
// Bandwidth is not limited; order is kept.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::string bytes;  // empty: the end
};

// Reads `from`, and writes what it read to `to` once it is `delay` old.
void pipeDelayed(int from, int to, std::chrono::milliseconds delay, bool shutTo) {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Chunk> queue;
  std::thread writer([&] {
    for (;;) {
      std::unique_lock lock(mutex);
      ready.wait(lock, [&] { return !queue.empty(); });
      Chunk chunk = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      std::this_thread::sleep_until(chunk.due);
      if (chunk.bytes.empty()) break;
      const char* p = chunk.bytes.data();
      std::size_t left = chunk.bytes.size();
      while (left > 0) {
        const ssize_t n = ::write(to, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
      }
    }
    if (shutTo)
      ::shutdown(to, SHUT_WR);
    else
      ::close(to);
  });
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    std::lock_guard lock(mutex);
    queue.push_back({Clock::now() + delay, n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string()});
    ready.notify_one();
    if (n <= 0) break;
  }
  writer.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: corvane_delay_relay DELAY_MS HOST PORT\n");
    return 2;
  }
  const std::chrono::milliseconds delay(std::atoi(argv[1]));
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[3])));
  if (::inet_pton(AF_INET, argv[2], &address.sin_addr) != 1 ||
      ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("corvane_delay_relay: connect");
    return 1;
  }
  std::thread up([&] { pipeDelayed(STDIN_FILENO, sock, delay, true); });
  pipeDelayed(sock, STDOUT_FILENO, delay, false);
  // The far end is gone; whatever ssh still sends has nowhere to go.
  up.detach();
  return 0;
}
