// Writes steplink/StatusLayout.java at build time: the status block's size, magic, version and
// every field offset the Java side reads, taken by the compiler from src/contract's header, so
// the Java readers cannot drift from the layout the simulated table and the runner write.
#include <cstddef>
#include <cstdio>

#include "contract/steplink_contract.h"

namespace {

// One documented constant of the generated class.
void Constant(std::FILE* out, const char* doc, const char* type, const char* name,
              unsigned long long value) {
  std::fprintf(out, "  /** %s */\n  public static final %s %s = %llu%s;\n\n", doc, type, name,
               value, type[0] == 'l' ? "L" : "");
}

constexpr std::size_t kTable = offsetof(SteplinkStatusBlock, table);
constexpr std::size_t kJob = offsetof(SteplinkStatusBlock, job);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: status_layout_gen OUTPUT.java\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out,
               "// Generated at build time by java/status_layout_gen.cpp from\n"
               "// src/contract/steplink_contract.h: do not edit.\n"
               "package steplink;\n\n"
               "/**\n"
               " * The live status block's layout (little-endian, in /dev/shm), as the contract\n"
               " * header defines it: byte offsets from the block's start. Each section begins\n"
               " * with its sequence (u64, odd while its writer is inside an update).\n"
               " */\n"
               "public final class StatusLayout {\n"
               "  private StatusLayout() {}\n\n");
  Constant(out, "Size of the block in bytes.", "int", "SIZE", STEPLINK_STATUS_SIZE);
  Constant(out, "The magic number at offset 0 (u32, \"SLST\").", "int", "MAGIC",
           STEPLINK_STATUS_MAGIC);
  Constant(out, "The layout version at offset 4 (u32).", "int", "VERSION", STEPLINK_STATUS_VERSION);
  Constant(out, "Offset of the magic number (u32).", "int", "MAGIC_OFFSET",
           offsetof(SteplinkStatusBlock, magic));
  Constant(out, "Offset of the layout version (u32).", "int", "VERSION_OFFSET",
           offsetof(SteplinkStatusBlock, version));
  Constant(out, "Offset of the owner's process id (u32).", "int", "OWNER_PID",
           offsetof(SteplinkStatusBlock, ownerPid));
  Constant(out, "Offset of the owner's start time (u64, field 22 of /proc/PID/stat).", "int",
           "OWNER_START_TIME", offsetof(SteplinkStatusBlock, ownerStartTime));
  Constant(out, "Offset of the table section and its sequence (u64).", "int", "TABLE", kTable);
  Constant(out, "Table section: X position in steps (i32).", "int", "TABLE_X",
           kTable + offsetof(SteplinkStatusTable, positionX));
  Constant(out, "Table section: Y position in steps (i32).", "int", "TABLE_Y",
           kTable + offsetof(SteplinkStatusTable, positionY));
  Constant(out, "Table section: Z position in steps (i32).", "int", "TABLE_Z",
           kTable + offsetof(SteplinkStatusTable, positionZ));
  Constant(out, "Table section: auxiliary state (i32: -1 none set, 0 or 1).", "int", "TABLE_AUX",
           kTable + offsetof(SteplinkStatusTable, auxState));
  Constant(out, "Table section: table time in timer ticks (u64).", "int", "TABLE_TICKS",
           kTable + offsetof(SteplinkStatusTable, ticks));
  Constant(out, "Table section: steps made in all (u64).", "int", "TABLE_TOTAL_STEPS",
           kTable + offsetof(SteplinkStatusTable, totalSteps));
  Constant(out, "Table section: faults counted (u32).", "int", "TABLE_FAULTS",
           kTable + offsetof(SteplinkStatusTable, faultCount));
  Constant(out, "Table section: 1 while the limit input is engaged (u32).", "int",
           "TABLE_LIMIT_ENGAGED", kTable + offsetof(SteplinkStatusTable, limitEngaged));
  Constant(out, "Table section: 0 simulated table, 1 a real port (u32).", "int", "TABLE_HARDWARE",
           kTable + offsetof(SteplinkStatusTable, hardware));
  Constant(out, "Offset of the job section and its sequence (u64).", "int", "JOB", kJob);
  Constant(out, "Size of the job section in bytes.", "int", "JOB_SIZE", sizeof(SteplinkStatusJob));
  Constant(out, "Job section: the plan's entry in progress, 1-based, 0 none (u32).", "int",
           "JOB_PLAN_ENTRY", kJob + offsetof(SteplinkStatusJob, planEntry));
  Constant(out, "Job section: the plan's entries in all (u32).", "int", "JOB_PLAN_COUNT",
           kJob + offsetof(SteplinkStatusJob, planCount));
  Constant(out, "Job section: the entry's number among the plan's calls, 0 none (u32).", "int",
           "JOB_PLAN_CALL", kJob + offsetof(SteplinkStatusJob, planCall));
  Constant(out, "Job section: 1 once machine zero is known (u32).", "int", "JOB_MACHINE_ZERO_KNOWN",
           kJob + offsetof(SteplinkStatusJob, machineZeroKnown));
  Constant(out, "Job section: the plan's machine position as the entry began (3 x i32, steps).",
           "int", "JOB_PLAN_FROM", kJob + offsetof(SteplinkStatusJob, planFromSteps));
  Constant(out, "Job section: machine zero in the table's steps (3 x i32).", "int",
           "JOB_MACHINE_ZERO", kJob + offsetof(SteplinkStatusJob, machineZeroSteps));
  std::fprintf(out,
               "  /** Seconds per interval-timer tick. */\n"
               "  public static final double TICK_SECONDS = %.17g;\n"
               "}\n",
               STEPLINK_TICK_SECONDS);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
