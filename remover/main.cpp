// recortar entrada salida.png
#include "recortar.hpp"

int main(int argc, char** argv) {
  return recortar::run(argc, argv);
}
