// One block of a socket's send queue: bytes are appended at the write
// position and taken for the network from the read position; once all is
// taken, both go back to the start so the block is refilled in place.
#pragma once

#include <cstdint>

#include "platform/classes/classes.h"

class TBuffer : public plat::TObject {
 public:
  explicit TBuffer(int Size);
  ~TBuffer() override;
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  void Resize(int NewSize);
  int Append(const void* Data, int Len);
  // Pointer to the first unconsumed byte, or nullptr with Len 0.
  char* Peek(int& Len);
  int Consume(int Len);

  char* Block = nullptr;
  int BlockSize = 0;
  int WrittenCount = 0;
  int ConsumedCount = 0;
};
