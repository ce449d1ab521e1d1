// Driver service: starts, and if need be installs, the PortTalk kernel service through the
// service control manager. Called only by the port channel; prints its progress lines.
#pragma once

#include <cstdint>

// Starts the PortTalk service: 1 when started now or already running, 0 otherwise.
std::uint8_t StartPortDriver();
// Copies PortTalk.sys into the system's Drivers folder and registers the demand-start service.
void InstallPortDriver();
