// threadsift on a process snapshot made from the fuzzer's input: the
// snapshot of a small machine, edited. The input is a selector byte (which
// process to walk, and the platform version), then edits of seven bytes
// each: a kind, a 16-bit offset and a 32-bit value (a word to write, a byte,
// or a new length of the snapshot).
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzRun.h"
#include "Snapshot.h"

int ThreadsiftMain(int argc, char** argv);

namespace {

const size_t kLongestSnapshot = 0x20000;  // past the first 64 KB buffer

void ApplyEdit(FuzzedDataProvider& in, std::vector<unsigned char>* bytes) {
  uint8_t kind = in.ConsumeIntegral<uint8_t>();
  size_t offset = in.ConsumeIntegral<uint16_t>();
  uint32_t value = in.ConsumeIntegral<uint32_t>();
  if (kind % 3 == 2) {
    bytes->resize(std::min<size_t>(value, kLongestSnapshot), 0);
    return;
  }
  if (bytes->size() < 4) return;
  offset %= bytes->size() - 3;
  if (kind % 3 == 0) {
    sim::PutSnapshotField(bytes, offset, value);
  } else {
    (*bytes)[offset] = (unsigned char)value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return DiscardReports(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::Machine m = FuzzMachine();
  m.AddUnnamedProcess(300).AddThread(30);
  std::swap(m.processes[1], m.processes[2]);  // the tool's own process stays last
  uint8_t selector = in.ConsumeIntegral<uint8_t>();
  if (selector & 0x10) m.SetMajorVersion(4);
  const char* pids[] = {"120", "300", "4000", "*"};
  std::vector<unsigned char> bytes = sim::SnapshotBytes(m);
  while (in.remaining_bytes() > 0) ApplyEdit(in, &bytes);
  m.SetRawSnapshot(bytes);
  RunAndCheck(m, ThreadsiftMain, "threadsift", {"-p", pids[selector % 4]}, {{10, 0}, {20, 1}, {30, 0}});
  return 0;
}
