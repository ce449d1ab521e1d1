// The PortTalk device's control interface as our substitute driver serves it: the two port codes
// the library sends, and one code of our own that hands tests the simulated table's state.
// Plain C layout, shared by the kernel driver and the user-mode test programs.
#pragma once

#include <stdint.h>

#include "../src/contract/steplink_contract.h"

#define PORTTALK_NT_DEVICE_NAME L"\\Device\\PortTalk"
#define PORTTALK_DOS_DEVICE_NAME L"\\DosDevices\\PortTalk"

// The device type of the control codes (STEPLINK_IOCTL_*), for IoCreateDevice.
#define PORTTALK_DEVICE_TYPE (STEPLINK_IOCTL_READ >> 16)

#define PORTTALK_STATE_MAGIC STEPLINK_STATUS_MAGIC
#define PORTTALK_STATE_VERSION 1u

// Answer of STEPLINK_IOCTL_STATE (output buffer of at least this size; Information = its size).
typedef struct PortTalkState {
  uint32_t magic;
  uint32_t version;
  int32_t positionX;  // steps from where the table was created
  int32_t positionY;
  int32_t positionZ;
  int32_t auxState;   // 0 or 1 while the Z latch holds an auxiliary byte, else -1
  uint64_t simTicks;  // virtual 8254 ticks (STEPLINK_TICK_SECONDS each) since load
  uint64_t totalSteps;
  uint32_t faultCount;  // all kinds
  uint32_t lostStepFaults;
  uint32_t settleFaults;
  uint32_t protocolFaults;
  uint32_t patternFaults;
  uint32_t limitEngaged;  // 1 while the shared limit input is engaged
  uint32_t portWrites;    // requests served, for tests of the hardening
  uint32_t portReads;
  uint32_t rejectedRequests;  // requests failed for length, code or port
  uint32_t accessTicks;       // virtual ticks each port access costs
} PortTalkState;

// Optional DWORD values under the service's registry key, read once at load.
#define PORTTALK_VALUE_ACCESS_TICKS L"AccessTicks"
#define PORTTALK_VALUE_COUNTER_MODE L"CounterMode"
#define PORTTALK_VALUE_LIMIT_X L"LimitX"
#define PORTTALK_VALUE_LIMIT_Y L"LimitY"
#define PORTTALK_VALUE_LIMIT_Z L"LimitZ"
