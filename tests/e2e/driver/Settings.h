// Where the end-to-end tests find Wine, the tool and the fixture program.
#pragma once

#include <chrono>
#include <string>

namespace e2e {

struct Settings {
  std::string wine;                // the 64-bit Wine loader
  std::string prefix;              // the WINEPREFIX the tests share
  std::string threadsift;          // the tool under test
  std::string threadsiftFaulting;  // the tool with a stack walk that faults on request
  std::string latchsift;           // the lock tool under test
  std::string fixture;             // the fixture program
  std::string fixtureSources;      // the folder of the fixture's source files
  std::string waitScene;           // the program whose threads wait for critical sections
  std::string handleScene;         // the program whose threads wait on handles
  std::string modernScene;         // the program whose threads wait on slim locks, variables and addresses
  std::string poolScene;           // the program of many threads, most of them idle in the same frames
  std::string hangScene;  // the program that goes wrong after a delay (a hang, a deadlock, a busy thread, its end)
  std::string demo;                // the bundled demo program, two threads deadlocked
  std::string banner;              // the banner as the tool's source spells it; empty when unknown
  std::string latchsiftBanner;     // the same for latchsift
  std::string wineLog;             // file that takes Wine's own diagnostics (standard error)
  int width = 64;                  // the build's address width: 32 or 64
  int timeScale = 1;               // how many times longer than usual things may take
};

const Settings& TheSettings();

// A time limit stretched by --time-scale: under an emulated machine every
// program runs several times slower.
std::chrono::milliseconds Patience(std::chrono::milliseconds usual);

// Reads "--name=value" arguments (what GoogleTest left over). Prints what is
// missing or wrong and returns false when a required setting is absent, the
// width is neither 32 nor 64, or the time scale is not a number from 1 to 100.
bool ReadSettings(int argc, char** argv);

}  // namespace e2e
