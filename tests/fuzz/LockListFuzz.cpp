// latchsift on a lock list made from the fuzzer's input: locks with any
// field values, and a native layer that places the list anywhere in its
// buffer or outside it, or gives it a count that is not its records'.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzRun.h"

int LatchsiftMain(int argc, char** argv);

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return DiscardReports(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  p.lockListMissing = in.ConsumeProbability<float>() < 0.05f;
  p.lockListOutside = in.ConsumeProbability<float>() < 0.1f;
  if (in.ConsumeBool()) p.lockListAt = in.ConsumeIntegral<uint16_t>();
  if (in.ConsumeBool()) p.lockCountShown = in.ConsumeIntegral<uint32_t>();
  int count = in.ConsumeIntegralInRange<int>(0, 200);
  for (int i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    sim::Lock lock;
    lock.address = in.ConsumeIntegral<uint64_t>();
    lock.type = in.ConsumeIntegral<WORD>();
    lock.owner = in.ConsumeIntegral<uint64_t>();
    lock.contention = in.ConsumeIntegral<DWORD>();
    lock.entries = in.ConsumeIntegral<DWORD>();
    lock.recursion = in.ConsumeIntegral<DWORD>();
    lock.sharedWaiters = in.ConsumeIntegral<DWORD>();
    lock.exclusiveWaiters = in.ConsumeIntegral<DWORD>();
    p.locks.push_back(lock);
  }
  RunAndCheck(m, LatchsiftMain, "latchsift", {"-p", "120"}, {});
  return 0;
}
