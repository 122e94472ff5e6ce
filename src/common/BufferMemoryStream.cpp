#include "common/BufferMemoryStream.h"

#include <cstring>
#include <new>

namespace gw {

namespace {
constexpr const char* kSizeAssertion = "size must larger than zero";
}

TBufferMemoryStream::TBlock TBufferMemoryStream::Allocate(int64_t Capacity) {
  // malloc(0) may return null; keep a real block so Memory() is always usable.
  auto* p = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(Capacity > 0 ? Capacity : 1)));
  if (p == nullptr) throw std::bad_alloc();
  return TBlock(p);
}

TBufferMemoryStream::TBufferMemoryStream(int64_t Capacity)
    : FMemoryPtr(Allocate(Capacity)),
      FCapacity(Capacity > 0 ? Capacity : 0),
      FCreateCapacity(FCapacity) {}

uint8_t* TBufferMemoryStream::GetWritePointer(int64_t Size) {
  if (Size <= 0) throw EBufferAssertion(kSizeAssertion);
  if (Size > GetFreeSize()) {
    // Grow behind the consumed front rather than compacting first: the caller
    // decides when compaction pays off.
    int64_t wanted = FHeadCursorOffset + FSize + Size;
    int64_t capacity = (wanted + (kGrowStep - 1)) & ~(kGrowStep - 1);
    auto* p = static_cast<uint8_t*>(std::realloc(FMemoryPtr.get(), static_cast<size_t>(capacity)));
    if (p == nullptr) throw std::bad_alloc();
    (void)FMemoryPtr.release();  // realloc already freed or kept the old block
    FMemoryPtr.reset(p);
    FCapacity = capacity;
  }
  uint8_t* result = FMemoryPtr.get() + FHeadCursorOffset + FSize;
  FSize += Size;
  return result;
}

int64_t TBufferMemoryStream::WriteBuf(const void* PData, int64_t Size) {
  if (Size <= 0) throw EBufferAssertion(kSizeAssertion);
  std::memcpy(GetWritePointer(Size), PData, static_cast<size_t>(Size));
  return FSize;
}

int64_t TBufferMemoryStream::ForwardHeadCursor(int64_t Size) {
  int64_t count = Size < FSize ? Size : FSize;
  if (count <= 0) return 0;
  FHeadCursorOffset += count;
  FSize -= count;
  return count;
}

void TBufferMemoryStream::ShrinkTail(int64_t Size) {
  if (Size <= 0) return;
  FSize -= Size < FSize ? Size : FSize;
}

void TBufferMemoryStream::Trunc() {
  FSize = 0;
  FHeadCursorOffset = 0;
}

void TBufferMemoryStream::Clear() {
  // Allocate first so a failure leaves the buffer as it was.
  TBlock fresh = Allocate(FCreateCapacity);
  FMemoryPtr = std::move(fresh);
  FCapacity = FCreateCapacity;
  FSize = 0;
  FHeadCursorOffset = 0;
}

void TBufferMemoryStream::CheckCompactionMemory() {
  if (FHeadCursorOffset > (FCapacity >> 1)) CompactionMemory();
}

void TBufferMemoryStream::CompactionMemory() {
  if (FHeadCursorOffset == 0) return;
  if (FSize > 0) {
    std::memmove(FMemoryPtr.get(), FMemoryPtr.get() + FHeadCursorOffset,
                 static_cast<size_t>(FSize));
  }
  FHeadCursorOffset = 0;
}

}  // namespace gw
