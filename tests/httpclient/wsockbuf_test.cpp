#include "httpclient/WSockbuf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One step on a buffer and what must hold afterwards.
struct Step {
  enum Op { Append, Consume, Resize } op;
  int arg;
  int result;     // result of Append / Consume (ignored for Resize)
  int written;    // WrittenCount afterwards
  int consumed;   // ConsumedCount afterwards
  int blockSize;  // BlockSize afterwards
};

struct Case {
  const char* name;
  int createSize;
  std::vector<Step> steps;
};

std::string Pattern(int n, int from = 0) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((from + i) & 0xFF));
  return s;
}

}  // namespace

TEST(TBuffer, StepTable) {
  const std::vector<Case> cases = {
      {"create 0 gives 1514", 0, {}},
      {"create -5 gives 1514", -5, {}},
      {"append 2000 copies 1514 then nothing",
       1514,
       {{Step::Append, 2000, 1514, 1514, 0, 1514}, {Step::Append, 10, 0, 1514, 0, 1514}}},
      {"consume part then the rest resets",
       1514,
       {{Step::Append, 100, 100, 100, 0, 1514},
        {Step::Consume, 40, 40, 100, 40, 1514},
        {Step::Consume, 100, 60, 0, 0, 1514},
        {Step::Append, 5, 5, 5, 0, 1514}}},
      {"consume on empty and zero or negative lengths",
       16,
       {{Step::Consume, 5, 0, 0, 0, 16},
        {Step::Append, 0, 0, 0, 0, 16},
        {Step::Append, -3, 0, 0, 0, 16},
        {Step::Append, 4, 4, 4, 0, 16},
        {Step::Consume, 0, 0, 4, 0, 16},
        {Step::Consume, -1, 0, 4, 0, 16}}},
      {"resize keeps written bytes, never below them",
       16,
       {{Step::Append, 10, 10, 10, 0, 16},
        {Step::Consume, 3, 3, 10, 3, 16},
        {Step::Resize, 32, 0, 10, 3, 32},
        {Step::Resize, 4, 0, 10, 3, 10},
        {Step::Append, 1, 0, 10, 3, 10}}},
      {"resize of an emptied block just reallocates",
       16,
       {{Step::Resize, 0, 0, 0, 0, 1514}, {Step::Resize, 1514, 0, 0, 0, 1514}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBuffer b(c.createSize);
    EXPECT_EQ(b.BlockSize, c.createSize <= 0 ? 1514 : c.createSize);
    std::string data = Pattern(4000);
    for (const Step& s : c.steps) {
      switch (s.op) {
        case Step::Append:
          EXPECT_EQ(b.Append(data.data(), s.arg), s.result);
          break;
        case Step::Consume:
          EXPECT_EQ(b.Consume(s.arg), s.result);
          break;
        case Step::Resize:
          b.Resize(s.arg);
          break;
      }
      EXPECT_EQ(b.WrittenCount, s.written);
      EXPECT_EQ(b.ConsumedCount, s.consumed);
      EXPECT_EQ(b.BlockSize, s.blockSize);
    }
  }
}

TEST(TBuffer, PeekShowsTheUnconsumedBytesInPlace) {
  TBuffer b(1514);
  int len = 99;
  EXPECT_EQ(b.Peek(len), nullptr);
  EXPECT_EQ(len, 0);

  std::string data = Pattern(100);
  b.Append(data.data(), 100);
  b.Consume(40);
  char* p = b.Peek(len);
  ASSERT_EQ(len, 60);
  EXPECT_EQ(p, b.Block + 40);
  EXPECT_EQ(std::string(p, 60), data.substr(40));

  // After a resize with bytes pending, the same bytes are still there.
  b.Resize(3000);
  p = b.Peek(len);
  ASSERT_EQ(len, 60);
  EXPECT_EQ(std::string(p, 60), data.substr(40));

  // Emptied: the next append writes at the block's start, no new block.
  char* block = b.Block;
  b.Consume(60);
  std::string more = Pattern(7, 200);
  b.Append(more.data(), 7);
  EXPECT_EQ(b.Block, block);
  EXPECT_EQ(std::string(b.Block, 7), more);
}
