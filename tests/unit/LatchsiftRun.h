#ifndef TESTS_UNIT_LATCHSIFT_RUN_H
#define TESTS_UNIT_LATCHSIFT_RUN_H

#include <string>
#include <vector>

#include "Machine.h"
#include "Run.h"

int LatchsiftMain(int argc, char** argv);

inline sim::RunResult RunLatchsift(sim::Machine& m, const std::vector<std::string>& args) {
  return sim::RunMain(m, LatchsiftMain, "latchsift", args);
}

inline const std::string kLatchBanner = "latchsift v1.0 - Copyright (c) 2026 the threadsift developers\n\n";
inline const std::string kLatchUsage = "Usage: latchsift -p <pid>\n";

#endif
