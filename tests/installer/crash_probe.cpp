// Runs one installation and kills itself with SIGKILL when it reaches a given
// step, like a power cut or a force quit would stop it there. Optionally makes
// another step fail first, to be killed inside the roll-back.
//   installer_crash_probe <payload> <home> <signing tool> <kill step> <kill index> [<fail step> <fail index>]
#include "installer/companion_installer.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

using tavrino::setup::CompanionInstaller;
using tavrino::setup::InstallStep;

int main(int argc, char** argv) {
  if (argc != 6 && argc != 8) return 2;
  const int killStep = std::atoi(argv[4]);
  const std::size_t killIndex = std::strtoul(argv[5], nullptr, 10);
  const int failStep = argc == 8 ? std::atoi(argv[6]) : -1;
  const std::size_t failIndex = argc == 8 ? std::strtoul(argv[7], nullptr, 10) : 0;
  CompanionInstaller installer(argv[1], argv[2], std::string("TVRN4SHARE"));
  installer.signingTool = argv[3];
  installer.stepHook = [&](InstallStep step, std::size_t index) {
    if (static_cast<int>(step) == killStep && index == killIndex) std::raise(SIGKILL);
    if (static_cast<int>(step) == failStep && index == failIndex) throw std::runtime_error("injected failure");
  };
  try {
    installer.install();
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  return 0;
}
