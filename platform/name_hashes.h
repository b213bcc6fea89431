#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/long_work.h"
#include "platform/names.h"
#include "platform/pages.h"

// The names of a folder as 64-bit hashes of their lower-cased forms: what a folder index
// holds, under 24 bytes a name.
namespace platform {

// FNV-1a of the lower-cased name, then a final mix; never 0.
inline std::uint64_t FoldedHash(std::string_view name) {
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a, then a final mix
  bool ascii = true;
  for (const char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    for (const char c : name) {
      const auto lower = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      h = (h ^ lower) * 1099511628211ULL;
    }
  } else {
    for (const unsigned char c : LowerName(name)) h = (h ^ c) * 1099511628211ULL;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h == 0 ? 1 : h;  // 0 marks an empty slot
}

// A multiset of hashes: open addressing with linear probing, 8 bytes a slot, at most seven
// eighths full (the hashes are well mixed: a look at that load takes a few cache lines, next
// to nothing beside a file's system calls). Names that differ only in case each hold a slot
// of the same hash.
class NameHashes {
 public:
  NameHashes() = default;
  NameHashes(NameHashes&& o) noexcept { *this = std::move(o); }
  NameHashes& operator=(NameHashes&& o) noexcept {
    slots_ = std::move(o.slots_);
    size_ = std::exchange(o.size_, 0);
    mask_ = std::exchange(o.mask_, 0);
    count_ = std::exchange(o.count_, 0);
    return *this;
  }

  bool Contains(std::uint64_t h) const {
    if (size_ == 0) return false;
    for (std::size_t i = h & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
      if (slots_[i] == h) return true;
    }
    return false;
  }
  void Insert(std::uint64_t h) {
    if ((count_ + 1) * 8 > size_ * 7) Grow();
    std::size_t i = h & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = h;
    ++count_;
  }
  void EraseOne(std::uint64_t h) {
    if (size_ == 0) return;
    std::size_t i = h & mask_;
    while (slots_[i] != h) {
      if (slots_[i] == 0) return;
      i = (i + 1) & mask_;
    }
    // Backward shift: later entries of the run move up so that no probe stops short.
    for (std::size_t j = (i + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
      const std::size_t home = slots_[j] & mask_;
      if (((j - home) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = 0;
    --count_;
  }
  std::size_t Bytes() const { return size_ * sizeof(std::uint64_t); }
  std::size_t size() const { return count_; }

 private:
  struct Free {
    void operator()(std::uint64_t* p) const { std::free(p); }
  };

  void Grow() {
    const std::size_t old_size = size_;
    std::unique_ptr<std::uint64_t[], Free> old = std::move(slots_);
    // From the allocator's zeroed pages: a large table is not written through before its
    // names go in, and its pages are first touched as they do.
    size_ = old_size == 0 ? 16 : old_size * 2;
    slots_.reset(static_cast<std::uint64_t*>(std::calloc(size_, sizeof(std::uint64_t))));
    if (!slots_) throw std::bad_alloc();
    mask_ = size_ - 1;
    count_ = 0;
    // A table of a million names takes tens of milliseconds to lay out again: a pass's
    // window handles its events meanwhile. A name goes to a slot near its old one, or near
    // that one in the new upper half, so the new table's pages are touched in step with the
    // old table's read: the old one's pages are given back as they are read, and the two
    // together take little more than the new one.
    constexpr std::size_t kRun = 8192;  // slots: 64 KiB
    for (std::size_t i = 0; i < old_size; ++i) {
      if (old[i] != 0) {
        Insert(old[i]);
        YieldDuringLongWork();  // cheap but for every 64th call
      }
      if ((i + 1) % kRun == 0) GiveBackPages(old.get() + i + 1 - kRun, kRun * sizeof(old[0]));
    }
  }

  std::unique_ptr<std::uint64_t[], Free> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace platform
