#include "core/ToneCache.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tw {

ToneCache::ToneCache(std::size_t maxBytes, std::size_t maxTones)
    : maxBytes_(maxBytes), maxTones_(maxTones) {}

std::uint32_t ToneCache::Key(const CoreCell& cell) {
  const std::uint32_t a = static_cast<std::uint16_t>(cell.ANumber) % 100u;
  const std::uint32_t b = static_cast<std::uint16_t>(cell.BNumber) % 100u;
  return (static_cast<std::uint32_t>(cell.InstructionWord) << 14) | (a << 7) | b;
}

namespace {

// The hash table's slots for `capacity` tones: a power of two at least
// twice as many, so that it is at most half full and the probes stay short.
std::size_t SlotsFor(std::size_t capacity, unsigned& shift) {
  std::size_t slots = 2;
  shift = 63;
  while (slots < 2 * capacity) {
    slots *= 2;
    --shift;
  }
  return slots;
}

}  // namespace

std::size_t ToneCache::ReservedBytes(std::int32_t samples) const {
  const std::size_t toneBytes =
      static_cast<std::size_t>(std::max(samples, 0)) * sizeof(std::int16_t);
  const std::size_t capacity = toneBytes == 0 ? 0 : std::min(maxTones_, maxBytes_ / toneBytes);
  if (capacity == 0) return 0;
  unsigned shift;
  return capacity * toneBytes + SlotsFor(capacity, shift) * 2 * sizeof(std::uint32_t);
}

void ToneCache::Prepare(std::int32_t samples) {
  if (samples == samples_) return;
  Release();
  samples_ = samples;
  const std::size_t toneBytes = static_cast<std::size_t>(samples) * sizeof(std::int16_t);
  capacity_ = toneBytes == 0 ? 0 : std::min(maxTones_, maxBytes_ / toneBytes);
  if (capacity_ == 0) return;
  const std::size_t slots = SlotsFor(capacity_, shift_);
  mask_ = slots - 1;
  keys_.reset(new (std::nothrow) std::uint32_t[slots]());
  index_.reset(new (std::nothrow) std::uint32_t[slots]);
  tones_.reset(new (std::nothrow) std::int16_t[capacity_ * static_cast<std::size_t>(samples)]);
  if (!keys_ || !index_ || !tones_) {
    // Tones are synthesized each time instead.
    Release();
    samples_ = samples;
  }
}

void ToneCache::Release() {
  keys_.reset();
  index_.reset();
  tones_.reset();
  samples_ = -1;
  capacity_ = count_ = mask_ = 0;
  shift_ = 63;
}

std::size_t ToneCache::Slot(std::uint32_t key) const {
  // Fibonacci hashing: the top bits of the product depend on every bit of
  // the key, so keys that differ only in the word spread out too.
  std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  while (keys_[slot] != 0 && keys_[slot] != key + 1) slot = (slot + 1) & mask_;
  return slot;
}

const std::int16_t* ToneCache::Find(std::uint32_t key) const {
  if (count_ == 0) return nullptr;
  const std::size_t slot = Slot(key);
  if (keys_[slot] == 0) return nullptr;
  return tones_.get() + static_cast<std::size_t>(index_[slot]) * samples_;
}

void ToneCache::Insert(std::uint32_t key, const std::int16_t* pcm) {
  if (count_ >= capacity_) return;
  const std::size_t slot = Slot(key);
  keys_[slot] = key + 1;
  index_[slot] = static_cast<std::uint32_t>(count_);
  std::memcpy(tones_.get() + count_ * samples_, pcm, samples_ * sizeof(std::int16_t));
  ++count_;
}

}  // namespace tw
