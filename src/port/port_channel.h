// Port channel: single-byte I/O port access through the PortTalk device, and opening/closing it.
// The only code that touches the device handle; calls the driver service when the device is
// missing.
#pragma once

#include <cstdint>

// Device I/O control codes of the PortTalk driver: type 0x9C40, functions 0x905/0x904, buffered.
constexpr std::uint32_t portWriteCode = 0x9C402414u;
constexpr std::uint32_t portReadCode = 0x9C402410u;

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
