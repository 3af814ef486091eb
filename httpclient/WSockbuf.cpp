#include "httpclient/WSockbuf.h"

#include <cstring>

namespace {
constexpr int kDefaultBlockSize = 1514;
}

TBuffer::TBuffer(int Size) { Resize(Size); }

TBuffer::~TBuffer() { delete[] Block; }

void TBuffer::Resize(int NewSize) {
  if (NewSize <= 0) NewSize = kDefaultBlockSize;
  if (NewSize == BlockSize) return;
  if (WrittenCount == ConsumedCount) {
    delete[] Block;
    Block = new char[static_cast<std::size_t>(NewSize)];
    BlockSize = NewSize;
    WrittenCount = 0;
    ConsumedCount = 0;
    return;
  }
  // Shrinking below the written bytes would lose them: keep them all.
  if (NewSize < WrittenCount) NewSize = WrittenCount;
  char* fresh = new char[static_cast<std::size_t>(NewSize)];
  std::memcpy(fresh, Block, static_cast<std::size_t>(WrittenCount));
  delete[] Block;
  Block = fresh;
  BlockSize = NewSize;
}

int TBuffer::Append(const void* Data, int Len) {
  if (Len <= 0) return 0;
  int Room = BlockSize - WrittenCount;
  if (Room <= 0) return 0;
  int N = Room < Len ? Room : Len;
  std::memcpy(Block + WrittenCount, Data, static_cast<std::size_t>(N));
  WrittenCount += N;
  return N;
}

char* TBuffer::Peek(int& Len) {
  int N = WrittenCount - ConsumedCount;
  if (N <= 0) {
    Len = 0;
    return nullptr;
  }
  Len = N;
  return Block + ConsumedCount;
}

int TBuffer::Consume(int Len) {
  if (Len <= 0) return 0;
  int N = WrittenCount - ConsumedCount;
  if (N <= 0) return 0;
  if (Len > N) Len = N;
  ConsumedCount += Len;
  if (ConsumedCount == WrittenCount) {
    ConsumedCount = 0;
    WrittenCount = 0;
  }
  return Len;
}
