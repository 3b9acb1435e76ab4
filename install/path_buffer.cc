#include "install/path_buffer.h"

#include <cstring>
#include <new>

namespace orvo::install {

namespace {

constexpr char16_t kBackslash = u'\\';
constexpr char16_t kDot = u'.';
constexpr int kShrinkSlack = 24;

void CopyUnits(char16_t* dst, const char16_t* src, int count) {
  std::memmove(dst, src, static_cast<size_t>(count) * sizeof(char16_t));
}

}  // namespace

CPathBuffer::CPathBuffer() : count_(0) { text_[0] = 0; }

CPathBuffer::CPathBuffer(const char16_t* text) : count_(0) { Assign(text); }

CPathBuffer::CPathBuffer(const CPathBuffer& other) : count_(other.count_) {
  CopyUnits(text_, other.text_, other.count_ + 1);
}

CPathBuffer& CPathBuffer::operator=(const CPathBuffer& other) {
  if (this != &other) {
    count_ = other.count_;
    CopyUnits(text_, other.text_, other.count_ + 1);
  }
  return *this;
}

CPathBuffer& CPathBuffer::Assign(const char16_t* text) {
  int n = 0;
  if (text != nullptr) {
    while (n < kCapacity && text[n] != 0) {
      text_[n] = text[n];
      ++n;
    }
  }
  text_[n] = 0;
  count_ = static_cast<int16_t>(n);
  return *this;
}

void CPathBuffer::AddBackslash() {
  if (count_ == 0 || count_ >= kCapacity || text_[count_ - 1] == kBackslash) return;
  text_[count_] = kBackslash;
  ++count_;
  text_[count_] = 0;
}

bool CPathBuffer::Append(const char16_t* relative, bool add_trailing_backslash) {
  if (relative == nullptr) return false;

  PathSeparatorList separators;
  for (int16_t pos = 0; pos < count_ && text_[pos] != 0; ++pos) {
    if (text_[pos] == kBackslash && !separators.Push(pos)) return false;
  }

  // Leading steps. The tests read past a unit only when it matched, so they
  // never run beyond the terminator of |relative|.
  int i = 0;
  while (i < kCapacity) {
    if (relative[i] == kDot && relative[i + 1] == kDot && relative[i + 2] == kBackslash) {
      i += 3;
      separators.PopLast();
    } else if (relative[i] == kDot && relative[i + 1] == kBackslash) {
      i += 2;
    } else if (relative[i] == kBackslash) {
      i += 1;
    } else {
      break;
    }
  }
  if (separators.count() == 0) return false;

  // Built aside so that a failure leaves the path as it was.
  char16_t result[kCapacity + 1];
  int length = separators.last() + 1;
  CopyUnits(result, text_, length);
  while (length < kCapacity && i < kCapacity && relative[i] != 0) {
    result[length++] = relative[i++];
  }
  if (add_trailing_backslash) {
    if (length >= kCapacity) return false;
    if (result[length - 1] != kBackslash) result[length++] = kBackslash;
  }

  CopyUnits(text_, result, length);
  text_[length] = 0;
  count_ = static_cast<int16_t>(length);
  return true;
}

PathSeparatorList::~PathSeparatorList() {
  if (on_heap()) delete[] data_;
}

bool PathSeparatorList::Push(int16_t position) {
  if (count_ == capacity_ && !Resize(capacity_ + kStep)) return false;
  data_[count_++] = position;
  return true;
}

void PathSeparatorList::PopLast() {
  if (count_ == 0) return;
  const int n = count_;
  const int m = capacity_;
  if (n - 1 < m - kShrinkSlack && n < (3 * m) / 4) {
    // A failed shrink only keeps the larger storage; the removal goes on.
    Resize(m - kStep);
  }
  --count_;
}

bool PathSeparatorList::Resize(int capacity) {
  int16_t* target = in_place_;
  if (capacity > kInPlaceCapacity) {
    target = new (std::nothrow) int16_t[capacity];
    if (target == nullptr) return false;
  } else {
    capacity = kInPlaceCapacity;
  }
  if (target != data_) {
    std::memcpy(target, data_, static_cast<size_t>(count_) * sizeof(int16_t));
    if (on_heap()) delete[] data_;
    data_ = target;
  }
  capacity_ = capacity;
  return true;
}

}  // namespace orvo::install
