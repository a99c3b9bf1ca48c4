#pragma once
// The 16-bit samples of tones already synthesized, by instruction word and
// both numbers modulo 100, for one tone length.
//
// A battle repeats few distinct instructions many times, and a remembered
// tone costs a copy instead of a synthesis. The memory for every tone it can
// hold is reserved in one piece when the length is first used, so
// remembering and finding tones allocate nothing; once that room is full,
// further tones are not remembered (they are synthesized each time).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/unit_core_types.h"

namespace tw {

class ToneCache {
 public:
  // Room for at most `maxTones` tones and `maxBytes` bytes of samples.
  ToneCache(std::size_t maxBytes, std::size_t maxTones);
  ToneCache(const ToneCache&) = delete;
  ToneCache& operator=(const ToneCache&) = delete;

  // The key of a cell's tone: the instruction word and both numbers, read
  // as unsigned 16-bit values, modulo 100.
  static std::uint32_t Key(const CoreCell& cell);

  // Makes the cache hold tones of `samples` samples (>= 0), forgetting every
  // tone when the length changes. The first call for a length reserves the
  // memory (the only allocation); the same length again keeps everything.
  // When the memory cannot be had, no tone is remembered (nothing raises).
  void Prepare(std::int32_t samples);
  // The bytes Prepare(samples) reserves.
  std::size_t ReservedBytes(std::int32_t samples) const;
  // Forgets every tone and frees the memory.
  void Release();

  // The remembered samples of `key` (Samples() of them), or null.
  const std::int16_t* Find(std::uint32_t key) const;
  // Remembers `pcm` (Samples() values) under `key`, which must not be
  // remembered yet; does nothing once the room is full. Allocates nothing.
  void Insert(std::uint32_t key, const std::int16_t* pcm);

  std::size_t Count() const { return count_; }
  std::size_t Capacity() const { return capacity_; }
  std::int32_t Samples() const { return samples_; }

 private:
  std::size_t Slot(std::uint32_t key) const;

  std::size_t maxBytes_;
  std::size_t maxTones_;
  std::int32_t samples_ = -1;
  std::size_t capacity_ = 0;  // tones
  std::size_t count_ = 0;
  // Open addressing: key + 1 (0 = empty) and the tone's index in tones_.
  std::unique_ptr<std::uint32_t[]> keys_;
  std::unique_ptr<std::uint32_t[]> index_;
  std::size_t mask_ = 0;  // slots - 1
  unsigned shift_ = 63;   // 64 - log2(slots)
  // capacity_ tones of samples_ values each, filled in order; not
  // initialised, so untouched pages of it are never made resident.
  std::unique_ptr<std::int16_t[]> tones_;
};

}  // namespace tw
