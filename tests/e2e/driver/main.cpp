// End-to-end tests of threadsift.exe and latchsift.exe under Wine.
//
//   threadsift_e2e [gtest options] --wine=LOADER --prefix=WINEPREFIX
//                  --threadsift=EXE --threadsift-faulting=EXE --latchsift=EXE
//                  --fixture=EXE --fixture-sources=DIR [--banner=TEXT]
//                  [--latchsift-banner=TEXT] [--wine-log=FILE] [--width=32|64]
//                  [--time-scale=N]
//
// --width names the build under test (64 by default): the 32-bit build
// prints 8-digit addresses and runs under 32-bit Wine. --time-scale
// stretches every time limit N times, for a machine that is emulated.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Settings.h"

// The programs use the session's own display, when it has one (the session
// script keeps its name in the prefix).
void UseSessionDisplay(const std::string& prefix) {
  std::ifstream file(prefix + "/.display");
  std::string display;
  if (std::getline(file, display) && !display.empty()) setenv("DISPLAY", display.c_str(), 1);
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!e2e::ReadSettings(argc, argv)) return 2;
  setenv("WINEPREFIX", e2e::TheSettings().prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  UseSessionDisplay(e2e::TheSettings().prefix);
  // No desktop integration and no prompts for add-ons in the tests' prefix.
  setenv("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree,mshtml=", 1);
  // A fixture that has ended makes a request fail instead of ending the driver.
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
