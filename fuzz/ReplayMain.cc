// Stands in for libFuzzer's driver where its runtime is missing: runs the target
// once on every file of the folders (or files) named on the command line.
// Options starting with '-' are libFuzzer's and are ignored.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {
int replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p)) {
        if (e.is_regular_file()) count += replay(e.path());
      }
    } else if (std::filesystem::is_regular_file(p)) {
      count += replay(p);
    }
  }
  std::printf("replayed %d inputs without a fault\n", count);
  return 0;
}
