// SipHash-2-4 (64-bit output) and the read print's key.
#include "read/chunk_digest.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace gcode {
namespace {

inline std::uint64_t Rotl(std::uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void Round() {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  }
  void Absorb(std::uint64_t word) {
    v3 ^= word;
    Round();
    Round();
    v0 ^= word;
  }
};

std::uint64_t LittleEndian(const char* bytes, std::size_t length) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < length; ++i) {
    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return word;
}

}  // namespace

std::uint64_t SipHash24(const std::array<std::uint64_t, 2>& key, const char* bytes,
                        std::size_t length) {
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const std::size_t whole = length - length % 8;
  for (std::size_t at = 0; at < whole; at += 8) s.Absorb(LittleEndian(bytes + at, 8));
  s.Absorb(LittleEndian(bytes + whole, length % 8) | (static_cast<std::uint64_t>(length) << 56));
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

ReadPrint::ReadPrint() {
  unsigned char bytes[sizeof key];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof bytes) {
    // No random source (a very early boot): the clock still keeps the key from being known.
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::memcpy(bytes, &now, sizeof now);
  }
  std::memcpy(key.data(), bytes, sizeof key);
}

std::size_t ReadPrint::ExpectedBytes(std::size_t index) const {
  const std::uint64_t start = static_cast<std::uint64_t>(index) * chunkBytes;
  if (start >= totalBytes) return 0;
  const std::uint64_t left = totalBytes - start;
  return left < chunkBytes ? static_cast<std::size_t>(left) : chunkBytes;
}

}  // namespace gcode
