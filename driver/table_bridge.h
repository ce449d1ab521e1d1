/* C face of the simulated table for the driver's C code (the DDK headers do not build as C++):
   settings in, port accesses and a state snapshot out. The table lives in storage the caller
   provides, allocated once at load. Implemented over src/sim/table_model.h. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "porttalk_device.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TableBridgeSettings {
  uint32_t accessTicks;  /* virtual ticks per port access */
  uint8_t counterMode;   /* 2 or 3 */
  int32_t limitSteps[3]; /* X, Y, Z switch positions in steps */
} TableBridgeSettings;

/* Bytes of storage TableCreate needs, alignment slack included. */
size_t TableStorageSize(void);
/* The model's default switch positions, for settings the registry does not give. */
void TableDefaultSettings(TableBridgeSettings* settings);
/* Builds the table (virtual clock, no event sink) in storage; returns the handle the other calls
   take. */
void* TableCreate(void* storage, const TableBridgeSettings* settings);
void TableOut(void* table, uint16_t port, uint8_t value);
uint8_t TableIn(void* table, uint16_t port);
/* Fills the table part of a state answer (positions, aux, ticks, steps, faults, limit). */
void TableFillState(void* table, PortTalkState* state);

#ifdef __cplusplus
}
#endif
