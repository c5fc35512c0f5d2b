// What pista is asked to draw, from its command line.
#pragma once

#include <optional>
#include <string>

namespace pista {

struct Request {
  std::string video, trackPath, output;
  bool toVideo = false;  // an .mp4 output; otherwise a .png contact sheet
  bool hasBox = false;   // the first box, as given to seguir
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// `pista video pista.json salida.png|salida.mp4 [x0 y0 x1 y1]`; nothing on
// a wrong count, an output that is neither .png nor .mp4 (in any case), or a
// box number that is malformed or not finite.
std::optional<Request> parseRequest(int argc, const char* const* argv);

}  // namespace pista
