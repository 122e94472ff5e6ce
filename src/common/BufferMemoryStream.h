// TBufferMemoryStream: a growable byte buffer with a head cursor, used for every
// send and receive buffer of the server links. Bytes are appended at the tail and
// consumed from the head without moving memory; the owner compacts the block at
// fixed points (CheckCompactionMemory) once more than half of it is consumed.
//
// Thread safety: none. The owner serialises every access.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace gw {

// Raised for a programming error: reserving or writing zero or fewer bytes.
class EBufferAssertion : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class TBufferMemoryStream {
 public:
  // Growth step of the block: capacities are rounded up to a multiple of this.
  static constexpr int64_t kGrowStep = 8192;

  explicit TBufferMemoryStream(int64_t Capacity);
  TBufferMemoryStream(const TBufferMemoryStream&) = delete;
  TBufferMemoryStream& operator=(const TBufferMemoryStream&) = delete;

  // Reserves Size bytes at the tail and returns their address; they count as live
  // at once. Grows the block (consumed front kept in place) when they do not fit.
  // Throws EBufferAssertion("size must larger than zero") for Size <= 0 and
  // std::bad_alloc when the block cannot grow; the buffer is unchanged then.
  uint8_t* GetWritePointer(int64_t Size);

  // Appends Size bytes from PData; returns the new live size. Same errors as above.
  int64_t WriteBuf(const void* PData, int64_t Size);

  // Consumes min(Size, live size) bytes from the head and returns that count.
  // Memory is not moved; a negative Size consumes nothing.
  int64_t ForwardHeadCursor(int64_t Size);

  // Drops the newest Size bytes at the tail (at most the live size); for a receive
  // that delivered fewer bytes than were reserved for it.
  void ShrinkTail(int64_t Size);

  // Live size and head cursor to 0, the block is kept.
  void Trunc();
  // Live size and head cursor to 0, and a fresh block of the creation capacity.
  void Clear();

  // Compacts when the consumed front is more than half of the block.
  void CheckCompactionMemory();
  // Moves the live bytes to the start of the block; nothing when the head is at 0.
  void CompactionMemory();

  // Bytes still free behind the tail.
  int64_t GetFreeSize() const { return FCapacity - FSize - FHeadCursorOffset; }

  uint8_t* Memory() const { return FMemoryPtr.get() + FHeadCursorOffset; }
  int64_t Capacity() const { return FCapacity; }
  int64_t Size() const { return FSize; }
  int64_t HeadCursorOffset() const { return FHeadCursorOffset; }
  // Address of the block itself (for checking where live bytes sit).
  const uint8_t* BlockPtr() const { return FMemoryPtr.get(); }

 private:
  struct TFreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using TBlock = std::unique_ptr<uint8_t, TFreeBlock>;

  static TBlock Allocate(int64_t Capacity);

  TBlock FMemoryPtr;
  int64_t FHeadCursorOffset = 0;
  int64_t FSize = 0;
  int64_t FCapacity = 0;
  int64_t FCreateCapacity = 0;
};

}  // namespace gw
