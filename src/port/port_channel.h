// Port channel: single-byte I/O port access through the PortTalk device, and opening/closing it.
// The only code that touches the device handle; calls the driver service when the device is
// missing.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// Device I/O control codes of the PortTalk driver.
constexpr std::uint32_t portWriteCode = STEPLINK_IOCTL_WRITE;
constexpr std::uint32_t portReadCode = STEPLINK_IOCTL_READ;

// Writes one byte to an I/O port; a failure prints its line and is otherwise lost.
void outportb(std::uint16_t port, std::uint8_t value);
// Reads one byte from an I/O port; after a failure, the low byte of the port number.
std::uint8_t inportb(std::uint16_t port);
// Opens the device (starting the driver service once if needed): handle value, or 255.
std::int32_t OpenPortDevice();
// Closes the device: nonzero when a handle was closed, 0 when not.
std::int32_t ClosePortDevice();
// True while the channel holds a usable handle; lets waits give up on a channel that cannot move.
bool PortChannelOpen();
