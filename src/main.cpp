#include "cli.hpp"

int main(int argc, char** argv) {
  return vell::run_cli(argc, argv);
}
