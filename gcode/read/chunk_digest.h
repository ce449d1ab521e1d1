// Keyed digests of a program's bytes, chunk by chunk: what pass 1 read is kept as one 64-bit
// SipHash-2-4 per 64 KiB (8 bytes per chunk, never per line), under a key drawn at random for
// this process, so that a later pass can prove it reads the same bytes and nobody can make other
// bytes that hash alike without the key. Calls the system's random source only.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gcode {

// SipHash-2-4 of `bytes` under `key`.
std::uint64_t SipHash24(const std::array<std::uint64_t, 2>& key, const char* bytes,
                        std::size_t length);

// The digests of a file as its first readings saw it: each chunk's digest is kept by whichever
// reader reads that chunk first, and every later reading of it is checked against it.
struct ReadPrint {
  static constexpr std::size_t chunkBytes = std::size_t{64} * 1024;
  ReadPrint();  // a fresh random key
  std::array<std::uint64_t, 2> key{};
  std::vector<std::uint64_t> chunks;  // chunk i covers bytes [i * chunkBytes, ...)
  std::vector<bool> known;            // beside each chunk: its digest has been kept
  std::uint64_t totalBytes = 0;       // once complete
  bool complete = false;              // its end was read: later readings are checked against it
  // No chunk is recorded any more (the check is over): a chunk never read then is not one checked.
  std::atomic<bool> sealed{false};
  // Bytes chunk `index` must hold: chunkBytes, less for the last, 0 past the end.
  std::size_t ExpectedBytes(std::size_t index) const;
};

}  // namespace gcode
