// Scale of threadsift on the simulated platform: a machine of many processes
// with many threads and modules, walked one process and swept whole; time,
// the tool's peak heap, platform calls and allocations, and how each grows
// when one count doubles. Exits 1 when the heap passes its bound.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "Machine.h"
#include "ManyStacks.h"
#include "Run.h"
#include "threadsift/pictures/FlameGraph.h"

// The tool's headers bring the simulated platform's run-time names; the
// bench's own lines, clock and heap are the host's.
#undef printf
#undef fflush
#undef malloc
#undef calloc
#undef free
#undef time
#undef exit

int ThreadsiftMain(int argc, char** argv);

namespace {

const size_t kHeapBound = 8u << 20;

// Bytes and blocks from operator new, counted with their peak.
size_t g_liveBytes = 0, g_peakBytes = 0;

struct Shape {
  int processes, threads, modules;
};

struct Result {
  double seconds;
  size_t peakHeap;
  long calls;
  long allocations;  // the tool's malloc and calloc calls
};

sim::Machine ScaleMachine(const Shape& s) {
  sim::Machine m;
  m.SetCallRecording(false);
  for (int p = 0; p < s.processes; ++p) {
    sim::Process& process = m.AddProcess((DWORD)(100 + p * 4), u"service.exe");
    for (int i = 0; i < s.modules; ++i) {
      uint64_t base = 0x10000000ull + (uint64_t)i * 0x100000;
      sim::Module& module = process.AddModule(base, 0x80000, "module" + std::to_string(i) + ".dll",
                                              "C:\\WINNT\\system32\\module" + std::to_string(i) + ".dll");
      module.AddSymbol(base + 0x1000, 0x400, "?Wait@Worker@@QAEXXZ", "Worker::Wait").AddLine(base + 0x1000, "w.cpp", 9);
    }
    for (int t = 0; t < s.threads; ++t) {
      sim::Thread& thread = process.AddThread((DWORD)(100000 + p * 1000 + t * 4));
      for (int f = 0; f < 8; ++f)
        thread.AddFrame(0x10001010ull + (uint64_t)((t + f) % s.modules) * 0x100000, 1, 2, 3, 4);
    }
  }
  m.AddProcess(4000, u"threadsift.exe").AddThread(4004);
  return m;
}

// Runs the tool with its report sent nowhere; its cost is the tool's all
// the same. Every heap block, the tool's malloc included (the simulated heap
// takes its blocks from operator new), counts towards the peak; so do the
// simulation's own short-lived blocks, which makes the figure an upper bound.
Result Measure(const Shape& shape, const std::vector<std::string>& args) {
  sim::Machine m = ScaleMachine(shape);
  std::fflush(stdout);
  int terminal = dup(STDOUT_FILENO);
  int nowhere = open("/dev/null", O_WRONLY);
  dup2(nowhere, STDOUT_FILENO);
  size_t baseBytes = g_liveBytes;
  g_peakBytes = g_liveBytes;
  // Processor time, not time on the wall: the machine is shared, and a
  // neighbour's work would show as the tool's.
  std::clock_t start = std::clock();
  sim::RunMainHere(m, ThreadsiftMain, "threadsift", args);
  double seconds = (double)(std::clock() - start) / CLOCKS_PER_SEC;
  Result result{seconds, g_peakBytes - baseBytes, m.CallTotal(), m.CallTotal("malloc") + m.CallTotal("calloc")};
  dup2(terminal, STDOUT_FILENO);
  close(terminal);
  close(nowhere);
  return result;
}

void PrintRow(const char* what, const Shape& s, const Result& r) {
  std::printf("| %-14s | %6d | %7d | %7d | %9.3f | %9.2f | %10ld | %13ld |\n", what, s.processes, s.threads, s.modules,
              r.seconds, r.peakHeap / 1048576.0, r.calls, r.allocations);
}

// The flame graph page of a million samples of 64 threads in `distinct`
// stacks a thread of `depth` frames: its size, the time to make it and the
// heap it takes beyond the stacks' own.
void MeasurePage(int distinct, int depth) {
  FoldedStacks stacks = ManyStacks(64, distinct, depth, 1000000);
  sim::Machine m;
  sim::SetActiveMachine(&m);
  size_t baseBytes = g_liveBytes;
  g_peakBytes = g_liveBytes;
  std::clock_t start = std::clock();
  FlameGraphPage page = MakeFlameGraph(MillionSamplesTaken(stacks));
  double seconds = (double)(std::clock() - start) / CLOCKS_PER_SEC;
  sim::SetActiveMachine(nullptr);
  std::printf(
      "flame graph page of 1,000,000 samples of 64 threads in %zu stacks of %d frames: %zu bytes (bound %zu), "
      "%d frames merged, made in %.3f s, heap %.2f MB beyond the stacks'\n",
      stacks.counts.size(), depth, page.text.size(), kMaxPageBytes, page.merged, seconds,
      (g_peakBytes - baseBytes) / 1048576.0);
}

// The run of less processor time: a neighbour's work only ever adds to a
// run's time.
Result Fastest(const Result& a, const Result& b) { return a.seconds <= b.seconds ? a : b; }

// The sampler's cost per thread-sample, with files to write and without, in
// rounds that take turns, so that a slow spell of the machine falls on all three.
void MeasureSampling() {
  const Shape process = {1, 64, 16};
  const int kRounds = 3;
  const std::string samples = "2000";
  const std::vector<std::string> printed = {"-p", "100", "-s", samples, "-i", "1"};
  std::vector<std::string> toPage = printed;
  toPage.insert(toPage.end(), {"-o", "C:\\p.svg"});
  std::vector<std::string> toAll = toPage;
  toAll.insert(toAll.end(), {"-o", "C:\\p.speedscope.json", "-o", "C:\\p.folded"});
  Result plain = Measure(process, printed);
  Result page = Measure(process, toPage);
  Result all = Measure(process, toAll);
  for (int round = 1; round < kRounds; ++round) {
    plain = Fastest(plain, Measure(process, printed));
    page = Fastest(page, Measure(process, toPage));
    all = Fastest(all, Measure(process, toAll));
  }
  double threadSamples = std::stod(samples) * process.threads;
  std::printf(
      "sampling 64 threads 2,000 times, fastest of %d rounds: %.2f us a thread-sample printed, %.2f with -o .svg "
      "(%.2fx), %.2f with -o in all three forms (%.2fx); heap %.2f, %.2f, %.2f MB\n",
      kRounds, plain.seconds * 1e6 / threadSamples, page.seconds * 1e6 / threadSamples, page.seconds / plain.seconds,
      all.seconds * 1e6 / threadSamples, all.seconds / plain.seconds, plain.peakHeap / 1048576.0,
      page.peakHeap / 1048576.0, all.peakHeap / 1048576.0);
}

}  // namespace

void* operator new(size_t size) {
  void* block = std::malloc(size + sizeof(size_t));
  if (block == nullptr) throw std::bad_alloc();
  *(size_t*)block = size;
  g_liveBytes += size;
  if (g_liveBytes > g_peakBytes) g_peakBytes = g_liveBytes;
  return (size_t*)block + 1;
}

void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  size_t* start = (size_t*)block - 1;
  g_liveBytes -= *start;
  std::free(start);
}

void operator delete(void* block, size_t) noexcept { operator delete(block); }

int main() {
  // The first shape is the base; the others double or quadruple one count.
  const Shape shapes[] = {{1000, 16, 64}, {2000, 16, 64}, {4000, 16, 64},
                          {1000, 32, 64}, {1000, 64, 64}, {1000, 16, 128}};
  std::printf("| run            | procs  | threads | modules | cpu (s)   | heap (MB) | calls      | malloc+calloc |\n");
  std::printf("|----------------|--------|---------|---------|-----------|-----------|------------|---------------|\n");
  size_t worst = 0;
  double sweepSeconds[sizeof(shapes) / sizeof(shapes[0])];
  for (size_t i = 0; i < sizeof(shapes) / sizeof(shapes[0]); ++i) {
    const Shape& s = shapes[i];
    Result one = Measure(s, {"-p", "100"});
    Result sweep = Measure(s, {"-p", "*"});
    worst = std::max(worst, std::max(one.peakHeap, sweep.peakHeap));
    sweepSeconds[i] = sweep.seconds;
    PrintRow("one process", s, one);
    PrintRow("sweep", s, sweep);
  }
  std::printf(
      "sweep time against %d processes of %d threads: 2,000 processes %.2fx, 4,000 processes %.2fx, "
      "32 threads %.2fx, 64 threads %.2fx, 128 modules %.2fx\n",
      shapes[0].processes, shapes[0].threads, sweepSeconds[1] / sweepSeconds[0], sweepSeconds[2] / sweepSeconds[0],
      sweepSeconds[3] / sweepSeconds[0], sweepSeconds[4] / sweepSeconds[0], sweepSeconds[5] / sweepSeconds[0]);
  // One process of many threads in ten stacks, grouped (-g) and not.
  const Shape pool = {1, 1000, 10}, largePool = {1, 10000, 10};
  Result plainPool = Measure(pool, {"-p", "100"}), groupedPool = Measure(pool, {"-p", "100", "-g"});
  Result plainLarge = Measure(largePool, {"-p", "100"}), groupedLarge = Measure(largePool, {"-p", "100", "-g"});
  PrintRow("one process", pool, plainPool);
  PrintRow("the same, -g", pool, groupedPool);
  PrintRow("one process", largePool, plainLarge);
  PrintRow("the same, -g", largePool, groupedLarge);
  std::printf("-g on 10,000 threads in 10 stacks: %.2fx 1,000 threads' time (%.2fx without -g); "
              "-g against the plain report: %.2fx at 10,000 threads\n",
              groupedLarge.seconds / groupedPool.seconds, plainLarge.seconds / plainPool.seconds,
              groupedLarge.seconds / plainLarge.seconds);
  // Stacks wide enough to fill the page, and many more too narrow to see.
  MeasurePage(200, 20);
  MeasurePage(1000, 24);
  MeasureSampling();
  std::printf("peak heap of the tool: %.2f MB (bound %.0f MB): %s\n", worst / 1048576.0, kHeapBound / 1048576.0,
              worst <= kHeapBound ? "within" : "EXCEEDED");
  std::fflush(stdout);
  return worst <= kHeapBound ? 0 : 1;
}
