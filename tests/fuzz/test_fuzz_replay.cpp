// Replays every input of the datagram corpus (tests/data/datagrams: the seeds
// and every input that ever found a fault) through the fuzz entry point, so the
// ordinary and the sanitizer builds check them on each run without clang.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

// The seeds alone are more than this; fewer means the corpus went missing.
constexpr std::size_t kMinCorpusFiles = 30;

std::vector<std::filesystem::path> CorpusFiles() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(MORVANE_CORPUS_DIR, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzCorpus, EveryInputRunsClean) {
  const std::vector<std::filesystem::path> files = CorpusFiles();
  ASSERT_GE(files.size(), kMinCorpusFiles) << "corpus " << MORVANE_CORPUS_DIR;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read";
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Heap copy of exactly the file's bytes; the entry point copies again.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
  }
}

}  // namespace
