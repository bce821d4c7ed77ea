// threadsift's main with argument vectors built from the fuzzer's input.
#include <cstdio>

#include "FuzzRun.h"

int ThreadsiftMain(int argc, char** argv);

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The reports themselves are of no interest here, only how each run ends.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunAndCheck(ThreadsiftMain, "threadsift", ArgumentsOf(data, size));
  return 0;
}
