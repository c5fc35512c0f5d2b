// The seguir command: both modes, from the process arguments to the exit status.
#pragma once

namespace seguir {

// Runs one invocation; returns the exit status. Writes the result line to
// standard output, or one message to standard error on failure.
int run(int argc, const char* const* argv);

}  // namespace seguir
