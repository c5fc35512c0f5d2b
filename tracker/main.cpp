#include "tracker/app.hpp"

int main(int argc, char** argv) {
  return seguir::run(argc, argv);
}
