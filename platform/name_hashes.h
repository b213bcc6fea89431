#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/names.h"

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

// A multiset of hashes: open addressing with linear probing, 8 bytes a slot, at most three
// quarters full. Names that differ only in case each hold a slot of the same hash.
class NameHashes {
 public:
  bool Contains(std::uint64_t h) const {
    if (slots_.empty()) return false;
    for (std::size_t i = h & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
      if (slots_[i] == h) return true;
    }
    return false;
  }
  void Insert(std::uint64_t h) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    std::size_t i = h & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = h;
    ++count_;
  }
  void EraseOne(std::uint64_t h) {
    if (slots_.empty()) return;
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
  std::size_t Bytes() const { return slots_.capacity() * sizeof(std::uint64_t); }
  std::size_t size() const { return count_; }

 private:
  void Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
    mask_ = slots_.size() - 1;
    count_ = 0;
    for (const std::uint64_t h : old) {
      if (h != 0) Insert(h);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace platform
