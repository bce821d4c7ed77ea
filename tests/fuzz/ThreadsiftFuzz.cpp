// threadsift's main with argument vectors built from the fuzzer's input.
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzRun.h"

int ThreadsiftMain(int argc, char** argv);

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The reports themselves are of no interest here, only how each run ends.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

namespace {

// Sampling runs take one sample per count: a large count would make one
// input run for minutes. Counts above this are run as this count (the
// reading of large values is what the unit tests cover).
const int kMostFuzzedSamples = 64;

void BoundSampleCounts(std::vector<std::string>* args) {
  for (size_t i = 1; i + 1 < args->size(); ++i) {
    int count = 0;
    if ((*args)[i] == "-s" && std::sscanf((*args)[i + 1].c_str(), "%i", &count) == 1 && count > kMostFuzzedSamples) {
      (*args)[i + 1] = std::to_string(kMostFuzzedSamples);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = ArgumentsOf(data, size);
  BoundSampleCounts(&args);
  RunAndCheck(ThreadsiftMain, "threadsift", args);
  return 0;
}
