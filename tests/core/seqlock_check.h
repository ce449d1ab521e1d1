// A writer thread and a reader thread on one status block: every copy the reader gets must be
// one the writer wrote whole. Shared by the status block tests and their ThreadSanitizer build.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "status/seqlock.h"

namespace test {

// Runs `updates` writes of the table section (every field derived from one counter) and the job
// section against a reader of both; returns "" or what went wrong.
inline std::string CheckSeqlockConcurrently(std::uint32_t updates) {
  static SteplinkStatusBlock block{};
  block = SteplinkStatusBlock{};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t k = 1; k <= updates; ++k) {
      SteplinkStatusTable table{};
      table.positionX = static_cast<std::int32_t>(k);
      table.positionY = -static_cast<std::int32_t>(k);
      table.positionZ = static_cast<std::int32_t>(k * 3);
      table.auxState = static_cast<std::int32_t>(k % 2);
      table.ticks = std::uint64_t{k} * 1000;
      table.totalSteps = std::uint64_t{k} * 7;
      table.faultCount = k ^ 0x5A5Au;
      table.lastFaultTick = ~std::uint64_t{k};
      status::WriteSection(block.table, table);
      SteplinkStatusJob job{};
      job.callIndex = k;
      job.callArgs[0] = static_cast<std::int32_t>(k);
      job.callArgs[2] = -static_cast<std::int32_t>(k);
      job.percent = k / 10.0;
      status::WriteSection(block.job, job);
    }
    done = true;
  });
  std::string failure;
  std::uint64_t reads = 0;
  std::int32_t lastX = 0;
  while (failure.empty() && (!done || reads == 0)) {
    ++reads;
    if (const auto table = status::ReadSection(block.table)) {
      const auto k = static_cast<std::uint32_t>(table->positionX);
      if ((table->sequence & 1u) != 0) failure = "a copy with an odd sequence";
      if (table->positionX < lastX) failure = "the table section went back in time";
      if (k != 0 &&
          (table->positionY != -table->positionX || table->positionZ != table->positionX * 3 ||
           table->auxState != static_cast<std::int32_t>(k % 2) ||
           table->ticks != std::uint64_t{k} * 1000 || table->totalSteps != std::uint64_t{k} * 7 ||
           table->faultCount != (k ^ 0x5A5Au) || table->lastFaultTick != ~std::uint64_t{k})) {
        failure = "a torn table section at update " + std::to_string(k);
      }
      lastX = table->positionX;
    }
    if (const auto job = status::ReadSection(block.job)) {
      const std::uint32_t k = job->callIndex;
      if (k != 0 &&
          (job->callArgs[0] != static_cast<std::int32_t>(k) ||
           job->callArgs[2] != -static_cast<std::int32_t>(k) || job->percent != k / 10.0)) {
        failure = "a torn job section at update " + std::to_string(k);
      }
    }
  }
  writer.join();
  if (failure.empty() &&
      status::ReadSection(block.table)->positionX != static_cast<std::int32_t>(updates)) {
    failure = "the last update is not what the reader sees";
  }
  if (failure.empty() && block.table.sequence != std::uint64_t{updates} * 2) {
    failure = "the sequence is not even after every update";
  }
  return failure;
}

}  // namespace test
