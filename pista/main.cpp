#include "pista/app.hpp"

int main(int argc, char** argv) {
  return pista::run(argc, argv);
}
