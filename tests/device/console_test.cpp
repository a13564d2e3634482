// message pushes every character out on its own: stdout is swapped for a
// stream that records each write the C library makes.

#include "console.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace voxaria {
namespace {

std::vector<std::string> writes;

ssize_t record_write(void*, const char* data, std::size_t size) {
  writes.emplace_back(data, size);
  return static_cast<ssize_t>(size);
}

std::vector<std::string> writes_of(const char* text) {
  writes.clear();
  FILE* recorder = fopencookie(nullptr, "w", {nullptr, record_write, nullptr, nullptr});
  setvbuf(recorder, nullptr, _IOFBF, 4096);  // only flushes push anything out
  FILE* const saved = stdout;
  stdout = recorder;
  message(text);
  stdout = saved;
  std::fclose(recorder);
  return writes;
}

TEST(Message, FlushesEveryCharacterAndTheNewline) {
  const std::vector<std::string> expected = {"T", "e", "r", "m", "i", "n", "a",
                                             "t", "i", "n", "g", ".", ".", "\n"};
  EXPECT_EQ(writes_of("Terminating.."), expected);
}

TEST(Message, PrintsOnlyTheNewlineForAnEmptyText) {
  EXPECT_EQ(writes_of(""), std::vector<std::string>{"\n"});
}

TEST(Message, KeepsATextsOwnNewline) {
  const auto out = writes_of("a\n");
  EXPECT_EQ(out, (std::vector<std::string>{"a", "\n", "\n"}));
}

}  // namespace
}  // namespace voxaria
