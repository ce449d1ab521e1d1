/* What the library, the PortTalk driver, the Linux substitute and the tools share: the device
 * I/O control codes, the five ports, the tick length, the z codes, the load-time motion
 * parameters and the status-block layout.
 * C-compatible (the driver is C); no code, only constants and layouts. */
#ifndef STEPLINK_CONTRACT_H
#define STEPLINK_CONTRACT_H

#include <stdint.h>

/* ---- Interval timer tick: one input-clock period of the 8254 (1.193182 MHz). ---- */
#define STEPLINK_TICK_SECONDS 8.38e-7
#define STEPLINK_TICK_NANOSECONDS (STEPLINK_TICK_SECONDS * 1e9) /* 838 ns */

/* ---- PortTalk device I/O control: type 0x9C40, buffered, any access. ---- */
#define STEPLINK_CTL_CODE(function) ((0x9C40u << 16) | ((function) << 2))
#define STEPLINK_IOCTL_READ STEPLINK_CTL_CODE(0x904u)  /* 0x9C402410: in port u16 LE; out 1 byte */
#define STEPLINK_IOCTL_WRITE STEPLINK_CTL_CODE(0x905u) /* 0x9C402414: in port u16 LE, value u8 */
#define STEPLINK_IOCTL_STATE STEPLINK_CTL_CODE(0x906u) /* 0x9C402418: our driver's state (ours) */

/* ---- The five I/O ports the product addresses. ---- */
#define STEPLINK_PORT_TIMER_COUNT 0x40u   /* counter 0 data */
#define STEPLINK_PORT_TIMER_COMMAND 0x43u /* 8254 mode/command register */
#define STEPLINK_PORT_DATA 0x3BCu         /* parallel port data: the latch byte */
#define STEPLINK_PORT_STATUS 0x3BDu       /* parallel port status: bit 7 the limit input */
#define STEPLINK_PORT_CONTROL 0x3BEu      /* parallel port control: bit 0 the latch strobe */

/* Timer commands the library sends to port 0x43. */
#define STEPLINK_TIMER_LATCH_COUNT 0x00u /* latch counter 0's count */
#define STEPLINK_TIMER_READ_STATUS 0xE2u /* read-back: status of counter 0 */

/* ---- z argument of vectorOut / reference: command codes in the same integer. ---- */
#define STEPLINK_Z_AUX_PLUS 32000      /* vectorOut: auxiliary state 1 */
#define STEPLINK_Z_AUX_MINUS (-32000)  /* vectorOut: auxiliary state 0 */
#define STEPLINK_Z_KEEP_LATCH 32222    /* vectorOut: leave the Z latch as it is */
#define STEPLINK_MOVE_STEP_LIMIT 32000 /* every distance is below this in magnitude */

/* ---- Load-time motion parameters of the library (what a planner estimates a job with). ----
 * Speeds in steps/s, rates in steps/s^2. The two shipped variants differ only in the start speed;
 * the build passes the variant's value to the core, which checks all of these at compile time. */
#define STEPLINK_START_SPEED_STANDARD 300 /* variant "standard": speed of a move's first step */
#define STEPLINK_START_SPEED_START200 200 /* variant "start200" */
#define STEPLINK_MAX_SPEED 500            /* acceleration stops once reached */
#define STEPLINK_REFERENCE_SPEED 400      /* every step of a reference run */
#define STEPLINK_ACCELERATION 100
#define STEPLINK_DECELERATION 500
/* Wait after each auxiliary-state latch write: 196897 ticks, about 0.165 s. */
#define STEPLINK_AUX_STATE_WAIT_TICKS 196897
#define STEPLINK_AUX_STATE_WAIT_SECONDS (STEPLINK_AUX_STATE_WAIT_TICKS * STEPLINK_TICK_SECONDS)
/* Data-line settle time before the latch strobe: 119 ticks, about 100 us. */
#define STEPLINK_LATCH_SETTLE_TICKS 119
/* Reference run: most one-step creep moves of one axis, and the pause after each back-off
 * (656324 ticks, about 0.55 s). */
#define STEPLINK_REFERENCE_CREEP_LIMIT 32000
#define STEPLINK_REFERENCE_PAUSE_TICKS 656324
#define STEPLINK_REFERENCE_PAUSE_SECONDS (STEPLINK_REFERENCE_PAUSE_TICKS * STEPLINK_TICK_SECONDS)

/* ---- Device counts: what the device seam saw go wrong, for the program that makes the calls.
 * The seam keeps them per process; a program that loads the library and wants them defines a
 * SteplinkDeviceCounts under STEPLINK_DEVICE_COUNTS_SYMBOL in its dynamic symbol table (the
 * runner's call process does), and the seam counts into it. Reading them after a call tells
 * what that call met without reading its printed lines. */
#define STEPLINK_DEVICE_COUNTS_SYMBOL "steplink_device_counts"
/* A counting counter 0 never shows one value this many readings in a row (a latch command and
 * two reads each); a wait that sees it gives up as if its time had passed. */
#define STEPLINK_COUNTER_STUCK_READINGS 65536

typedef struct SteplinkDeviceCounts {
  uint64_t refusedOps; /* port reads and writes the device refused (each fails the I/O control) */
  uint64_t counterStalls;     /* runs of STEPLINK_COUNTER_STUCK_READINGS equal counter 0 readings */
  uint32_t firstRefusalError; /* the first refusal: its Win32 error number, 0 none yet */
  uint16_t firstRefusalPort;  /* its port (0 when the request carried none) */
  uint8_t firstRefusalWrite;  /* 1 a port write, 0 a port read */
  uint8_t reserved;
  /* reference creeps that made STEPLINK_REFERENCE_CREEP_LIMIT steps without the limit input
   * engaging: the run backed off from wherever the creep gave up (STEPLINK_FAULT_NO_SWITCH) */
  uint32_t unmetCreeps;
  uint32_t reserved2;
} SteplinkDeviceCounts; /* 32 bytes */

/* ---- Live status block: POSIX shared memory /dev/shm/NAME, little-endian, 256 bytes. ----
 * Two sections, each with its own writer and its own sequence lock:
 *   table: written by the process that serves the device (the simulated table or a hardware
 *          backend's observer of the latch output);
 *   job:   written by the runner's call process (the call in progress, G-code progress).
 * Sequence lock: the writer makes the sequence odd, writes the fields (release stores, or a
 * release fence after the odd store), makes it even (release). A reader loads the sequence
 * (acquire), retries while it is odd, copies the section (acquire loads, or an acquire fence
 * after the copy), loads the sequence again and retries if it changed. */
#define STEPLINK_STATUS_MAGIC 0x54534C53u /* "SLST" */
#define STEPLINK_STATUS_VERSION 3u
#define STEPLINK_STATUS_SIZE 256u

/* Fault kinds as numbers (0 none). Names as in the record: "lost-step", "settle", "protocol",
 * "pattern", "no-switch". */
#define STEPLINK_FAULT_NONE 0u
#define STEPLINK_FAULT_LOST_STEP 1u
#define STEPLINK_FAULT_SETTLE 2u
#define STEPLINK_FAULT_PROTOCOL 3u
#define STEPLINK_FAULT_PATTERN 4u
/* A reference run's creep made STEPLINK_REFERENCE_CREEP_LIMIT one-step moves and the limit input
 * never engaged: the axis backed off from wherever the creep gave up, not from its switch. Port
 * STEPLINK_PORT_STATUS, value the last status byte read. */
#define STEPLINK_FAULT_NO_SWITCH 5u

/* Entry in progress (job section). */
#define STEPLINK_CALL_NONE 0u
#define STEPLINK_CALL_OPEN_CONN 1u
#define STEPLINK_CALL_CLOSE_CONN 2u
#define STEPLINK_CALL_INIT_TIMER 3u
#define STEPLINK_CALL_VECTOR_OUT 4u
#define STEPLINK_CALL_REFERENCE 5u

/* Job state (job section). */
#define STEPLINK_JOB_NONE 0u /* no job of ours writes this block (e.g. a Java program) */
#define STEPLINK_JOB_RUNNING 1u
#define STEPLINK_JOB_PAUSED 2u
#define STEPLINK_JOB_ENDED 3u
#define STEPLINK_JOB_INTERRUPTED 4u
#define STEPLINK_JOB_FAILED 5u

typedef struct SteplinkStatusTable {
  uint64_t sequence; /* odd while the writer is inside an update */
  int32_t positionX; /* steps from the start position */
  int32_t positionY;
  int32_t positionZ;
  int32_t auxState; /* -1 none set, 0 or 1 */
  uint64_t ticks;   /* table time in ticks since the device opened */
  uint64_t totalSteps;
  uint32_t faultCount;
  uint32_t limitEngaged; /* 1 while status bit 7 reads clear */
  uint64_t lastFaultTick;
  uint16_t lastFaultPort;
  uint8_t lastFaultValue;
  uint8_t lastFaultKind; /* STEPLINK_FAULT_* */
  uint32_t hardware;     /* 0 simulated table, 1 a real port (observed output) */
  uint8_t reserved[8];
} SteplinkStatusTable; /* 72 bytes */

typedef struct SteplinkStatusJob {
  uint64_t sequence;        /* odd while the writer is inside an update */
  uint32_t state;           /* STEPLINK_JOB_* */
  uint32_t callEntry;       /* STEPLINK_CALL_*: the call in progress, NONE between calls */
  int32_t callArgs[3];      /* x, y, z of vectorOut / reference */
  uint32_t callIndex;       /* calls started so far (1-based index of the current one) */
  uint32_t callCount;       /* calls the job makes in all (0 unknown) */
  uint32_t gcodeLine;       /* G-code job: source line of the current call, 0 otherwise */
  double percent;           /* G-code job: percent of the planned time done, -1 unknown */
  double etaSeconds;        /* G-code job: seconds left, -1 unknown */
  double mm[3];             /* G-code job: commanded position in mm (machine coordinates) */
  int32_t callFromSteps[3]; /* the table's position (steps) when the call in progress began */
  /* G-code job: the plan's entry in progress as the planner numbered it (0 none: openConn,
   * initTimer, closeConn), of planCount; planCall its number among the plan's library calls
   * (vectorOut, reference) as the job's report counts them, 0 for a dwell or a pause. */
  uint32_t planEntry;
  uint32_t planCount;
  uint32_t planCall;
  /* 1 once machineZeroSteps holds machine zero in the table's steps: the table's position less
   * the plan's at the first entry's start and after each reference call. */
  uint32_t machineZeroKnown;
  int32_t planFromSteps[3];    /* the plan's machine position (steps) as the entry began */
  int32_t machineZeroSteps[3]; /* table steps of machine zero; table minus it is machine steps */
  uint8_t reserved[4];
} SteplinkStatusJob; /* 136 bytes */

typedef struct SteplinkStatusBlock {
  uint32_t magic;    /* STEPLINK_STATUS_MAGIC */
  uint32_t version;  /* STEPLINK_STATUS_VERSION */
  uint32_t ownerPid; /* the process that created the block */
  uint32_t reserved0;
  uint64_t ownerStartTime; /* its start time: field 22 of /proc/PID/stat (clock ticks since boot) */
  uint8_t reserved1[24];
  SteplinkStatusTable table; /* offset 48 */
  SteplinkStatusJob job;     /* offset 120 */
} SteplinkStatusBlock;

#ifdef __cplusplus
static_assert(sizeof(SteplinkStatusTable) == 72, "status table section layout");
static_assert(sizeof(SteplinkStatusJob) == 136, "status job section layout");
static_assert(sizeof(SteplinkStatusBlock) == STEPLINK_STATUS_SIZE, "status block layout");
static_assert(sizeof(SteplinkDeviceCounts) == 32, "device counts layout");
#else
_Static_assert(sizeof(SteplinkStatusBlock) == STEPLINK_STATUS_SIZE, "status block layout");
#endif

#endif /* STEPLINK_CONTRACT_H */
