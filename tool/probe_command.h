// `steplink probe [--device VALUE]`: the hardware report of hw::Probe for the runner.
#pragma once

int ProbeCommand(int argc, const char* const* argv);
