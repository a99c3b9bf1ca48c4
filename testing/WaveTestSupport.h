#pragma once
// Helpers for the wave tests: building RIFF images byte by byte and reading
// little-endian fields back. Used by tests only.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mmsystem.h"
#include "runtime/Stream.h"

namespace tw::testing {

using Bytes = std::vector<uint8_t>;

inline void Put32(Bytes& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline void Put16(Bytes& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void PutId(Bytes& v, const char* id) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(id[i]));
}
// Appends b to v (by elements: GCC 12 misreads range inserts into vectors).
inline void Append(Bytes& v, const Bytes& b) {
  for (uint8_t x : b) v.push_back(x);
}
inline uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One chunk with its pad byte.
inline Bytes Chunk(const char* id, const Bytes& body) {
  Bytes v;
  PutId(v, id);
  Put32(v, static_cast<uint32_t>(body.size()));
  Append(v, body);
  if (body.size() % 2 == 1) v.push_back(0);
  return v;
}

// The first Size bytes of a format record as a "fmt " body.
inline Bytes FmtBody(const WAVEFORMATEX& f, size_t size = sizeof(WAVEFORMATEX)) {
  Bytes v(size, 0);
  std::memcpy(v.data(), &f, size < sizeof f ? size : sizeof f);
  return v;
}

// "RIFF" size "WAVE" followed by the given chunks.
inline Bytes Riff(const std::vector<Bytes>& chunks) {
  Bytes inner;
  PutId(inner, "WAVE");
  for (const Bytes& c : chunks) Append(inner, c);
  Bytes v;
  PutId(v, "RIFF");
  Put32(v, static_cast<uint32_t>(inner.size()));
  Append(v, inner);
  return v;
}

inline Bytes Samples16(std::initializer_list<int16_t> values) {
  Bytes v;
  for (int16_t s : values) Put16(v, static_cast<uint16_t>(s));
  return v;
}

inline Bytes Contents(TCustomMemoryStream& s) {
  const auto* p = static_cast<const uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

inline void Fill(TMemoryStream& s, const Bytes& bytes) {
  s.Clear();
  s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.SetPosition(0);
}

}  // namespace tw::testing
