// Runs a fuzz target once over each seed of its corpus, as regression
// inputs, in builds without libFuzzer.
//
//   fuzz_seeds_<target> <corpus directory>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  fs::path corpus = argv[1];
  std::vector<fs::path> seeds;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.is_regular_file()) seeds.push_back(entry.path());
  }
  std::sort(seeds.begin(), seeds.end());
  int run = 0;
  for (const fs::path& seed : seeds) {
    std::string name = corpus.filename().string() + "/" + seed.filename().string();
    std::ifstream in(seed, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::printf("ok %s\n", name.c_str());
    ++run;
  }
  if (run == 0) {
    std::fprintf(stderr, "no seed in %s\n", corpus.string().c_str());
    return 1;
  }
  return 0;
}
