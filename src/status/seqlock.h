// The status block's sequence lock over one section (its first word is the sequence): the
// writer's update and the reader's consistent copy. Header-only, no system calls, so that the
// ThreadSanitizer check builds it alone. Layout in contract/steplink_contract.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "contract/steplink_contract.h"

namespace status {

// Every word is accessed atomically, so a reader running beside the writer is free of data races,
// not only of torn copies. Release stores of the fields keep them after the odd sequence, acquire
// loads keep the second sequence load after them: the same order as fences would give, without
// standalone fences (which ThreadSanitizer cannot check); on x86 all of them are plain moves.

template <typename Section>
constexpr std::size_t sectionWords = sizeof(Section) / sizeof(std::uint64_t);

// Writes values (its sequence field is ignored) into section: sequence odd, fields, sequence even.
template <typename Section>
void WriteSection(Section& section, const Section& values) {
  static_assert(sizeof(Section) % sizeof(std::uint64_t) == 0);
  auto* words = reinterpret_cast<std::uint64_t*>(&section);
  const auto* source = reinterpret_cast<const std::uint64_t*>(&values);
  std::atomic_ref<std::uint64_t> sequence(words[0]);
  const std::uint64_t before = sequence.load(std::memory_order_relaxed);
  const std::uint64_t odd = before | 1u;  // already odd after a writer that died inside an update
  sequence.store(odd, std::memory_order_relaxed);
  for (std::size_t i = 1; i < sectionWords<Section>; ++i) {
    std::atomic_ref<std::uint64_t>(words[i]).store(source[i], std::memory_order_release);
  }
  sequence.store(odd + 1, std::memory_order_release);
}

// A consistent copy of section, or nothing when the writer stayed inside an update for all of
// maxAttempts tries (a writer that died there, or one that never pauses).
template <typename Section>
std::optional<Section> ReadSection(const Section& section, int maxAttempts = 100000) {
  static_assert(sizeof(Section) % sizeof(std::uint64_t) == 0);
  auto* words = const_cast<std::uint64_t*>(reinterpret_cast<const std::uint64_t*>(&section));
  std::uint64_t copy[sectionWords<Section>];
  std::atomic_ref<std::uint64_t> sequence(words[0]);
  for (int attempt = 0; attempt < maxAttempts; ++attempt) {
    const std::uint64_t before = sequence.load(std::memory_order_acquire);
    if ((before & 1u) != 0) continue;
    copy[0] = before;
    for (std::size_t i = 1; i < sectionWords<Section>; ++i) {
      copy[i] = std::atomic_ref<std::uint64_t>(words[i]).load(std::memory_order_acquire);
    }
    if (sequence.load(std::memory_order_relaxed) == before) {
      Section result;
      static_assert(sizeof(result) == sizeof(copy));
      __builtin_memcpy(&result, copy, sizeof(result));
      return result;
    }
  }
  return std::nullopt;
}

}  // namespace status
