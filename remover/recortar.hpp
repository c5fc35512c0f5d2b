// The recortar run: `recortar entrada salida.png`. Keys a flat background when
// the image has one, otherwise cuts the subject out, and writes a PNG with
// transparency at the input's size.
#pragma once

namespace recortar {

// One whole run; writes only the success line (standard output) or one
// message (standard error) and returns the exit status of messages.hpp.
int run(int argc, const char* const* argv);

}  // namespace recortar
