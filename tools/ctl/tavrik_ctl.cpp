// tavrik-ctl: command-line client of a running Tavrik worker. See `tavrik-ctl --help`.
#include <iostream>
#include <string>
#include <vector>

#include "tools/ctl/ctl_run.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return tavrik::ctl::RunCtl(args, std::cout, std::cerr);
}
