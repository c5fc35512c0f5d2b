// The pista command: a picture of a track over its video.
#pragma once

namespace pista {

// Runs one invocation; returns the exit status. One line on standard output
// on success, one message on standard error on failure.
int run(int argc, const char* const* argv);

}  // namespace pista
