// Keyed digests of a program's bytes, chunk by chunk: what pass 1 read is kept as one 64-bit
// SipHash-2-4 per 64 KiB (8 bytes per chunk, never per line), under a key drawn at random for
// this process, so that a later pass can prove it reads the same bytes and nobody can make other
// bytes that hash alike without the key. Calls the system's random source only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gcode {

// SipHash-2-4 of `bytes` under `key`.
std::uint64_t SipHash24(const std::array<std::uint64_t, 2>& key, const char* bytes,
                        std::size_t length);

// The digests of a file as its first whole reading saw it.
struct ReadPrint {
  static constexpr std::size_t chunkBytes = std::size_t{64} * 1024;
  ReadPrint();  // a fresh random key
  std::array<std::uint64_t, 2> key{};
  std::vector<std::uint64_t> chunks;  // chunk i covers bytes [i * chunkBytes, ...)
  std::uint64_t totalBytes = 0;
  bool complete = false;  // read to its end once: later readings are checked against it
  // Bytes chunk `index` must hold: chunkBytes, less for the last, 0 past the end.
  std::size_t ExpectedBytes(std::size_t index) const;
};

}  // namespace gcode
