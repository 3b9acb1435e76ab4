// A fixed-capacity UTF-16 path of at most 260 characters, kept by value.
//
// Only the backslash separates path components; a slash is an ordinary
// character. Appending resolves a relative path against the buffer: what
// follows the last backslash is replaced, and each leading "..\" climbs one
// folder.
#ifndef ORVO_INSTALL_PATH_BUFFER_H_
#define ORVO_INSTALL_PATH_BUFFER_H_

#include <cstdint>

namespace orvo::install {

// Invariant: text_[0..count_) holds the path, text_[count_] is NUL and
// 0 <= count_ <= kCapacity. The path itself never allocates.
class CPathBuffer {
 public:
  static constexpr int kCapacity = 260;

  // The empty path.
  CPathBuffer();
  // Same as Assign(text).
  explicit CPathBuffer(const char16_t* text);
  // Copy count + 1 units (the text with its terminator).
  CPathBuffer(const CPathBuffer& other);
  CPathBuffer& operator=(const CPathBuffer& other);

  // Copies |text| up to its terminator or up to kCapacity characters,
  // whichever comes first; longer text is cut silently. A null |text| gives
  // the empty path.
  CPathBuffer& Assign(const char16_t* text);

  // Appends a backslash unless the path is empty, already ends in one, or is
  // full.
  void AddBackslash();

  // Resolves |relative| against the path: leading "..\" steps climb one
  // folder each, ".\" and "\" steps are skipped, and the rest replaces what
  // follows the last remaining backslash (cut at kCapacity characters). With
  // |add_trailing_backslash| the result ends in a backslash.
  // Returns false, leaving the path unchanged, when no backslash is left to
  // resolve against, when the option is set and the result reaches
  // kCapacity characters, when |relative| is null, or when memory runs out.
  bool Append(const char16_t* relative, bool add_trailing_backslash);

  // The NUL-terminated path, for system calls.
  const char16_t* text() const { return text_; }
  int16_t count() const { return count_; }

 private:
  int16_t count_;
  char16_t text_[kCapacity + 1];
};

static_assert(sizeof(CPathBuffer) == 2 + 2 * (CPathBuffer::kCapacity + 1),
              "CPathBuffer is a 16-bit count followed by 261 UTF-16 units");

// The positions of the backslashes of a path, in order; the working list of
// CPathBuffer::Append. Holds 16 positions in place; beyond that it moves to
// the heap, growing by 16 when full. A removal that starts with count n at
// capacity m first shrinks it by 16 when n - 1 < m - 24 and n < 3 * m / 4; a
// capacity of 16 returns it to the in-place storage.
class PathSeparatorList {
 public:
  static constexpr int kInPlaceCapacity = 16;
  static constexpr int kStep = 16;

  PathSeparatorList() = default;
  ~PathSeparatorList();
  PathSeparatorList(const PathSeparatorList&) = delete;
  PathSeparatorList& operator=(const PathSeparatorList&) = delete;

  // Adds |position| at the end. False (list unchanged) when memory runs out.
  bool Push(int16_t position);
  // Removes the last position; an empty list stays empty.
  void PopLast();

  // REQUIRES: count() > 0.
  int16_t last() const { return data_[count_ - 1]; }
  int count() const { return count_; }
  int capacity() const { return capacity_; }
  bool on_heap() const { return data_ != in_place_; }

 private:
  // Moves the positions to storage of |capacity| entries.
  // REQUIRES: count_ <= capacity. False when memory runs out.
  bool Resize(int capacity);

  int16_t in_place_[kInPlaceCapacity];
  int16_t* data_ = in_place_;
  int count_ = 0;
  int capacity_ = kInPlaceCapacity;
};

}  // namespace orvo::install

#endif  // ORVO_INSTALL_PATH_BUFFER_H_
