// recortar entrada salida.png
#include "remover/recortar.hpp"

int main(int argc, char** argv) {
  return recortar::run(argc, argv);
}
