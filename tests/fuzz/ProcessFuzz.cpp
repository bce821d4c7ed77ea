// threadsift on a process whose modules, version resources, symbols and
// source lines are made from the fuzzer's input: names of any length and
// bytes, names cut without terminators, version records with sizes and
// lengths that lie, frames anywhere.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzRun.h"

int ThreadsiftMain(int argc, char** argv);

namespace {

const char kCompany[] = "\\StringFileInfo\\040904E4\\CompanyName";
const char kFileVersion[] = "\\StringFileInfo\\040904E4\\FileVersion";
const char kMaker[] = "Vantorel Products Inc.";

std::string Text(FuzzedDataProvider& in, size_t longest) { return in.ConsumeRandomLengthString(longest); }

// A word that is often one of the values that matter to the reader.
uint32_t Length(FuzzedDataProvider& in, uint32_t usual) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return usual;
    case 1: return usual - 1;
    case 2: return 0xFFFFFFFF - in.ConsumeIntegralInRange<uint32_t>(0, 64);
    default: return in.ConsumeIntegral<uint32_t>();
  }
}

// A version block's reported size: one near the block's, one that leaves no
// room for the reader's spare bytes, or any that a version resource can
// have (its length is a 16-bit field; a million bytes is ample), so that no
// run asks for gigabytes.
DWORD ReportedSize(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return in.ConsumeIntegralInRange<DWORD>(1, 300);
    case 1: return 0xFFFFFFFF - in.ConsumeIntegralInRange<DWORD>(0, 31);
    default: return in.ConsumeIntegralInRange<DWORD>(1, 0xFFFFF);
  }
}

sim::VersionResource Version(FuzzedDataProvider& in) {
  sim::VersionResource r;
  r.hasRoot = in.ConsumeBool();
  r.FileVersion(in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(),
                in.ConsumeIntegral<WORD>());
  r.ProductVersion(in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>());
  if (in.ConsumeBool()) r.String(kCompany, in.ConsumeBool() ? std::string(kMaker) : Text(in, 40));
  if (in.ConsumeBool()) r.String(kFileVersion, Text(in, 40));
  if (in.ConsumeBool()) r.reportedSize = ReportedSize(in);
  if (in.ConsumeBool()) r.rootLength = Length(in, sizeof(VS_FIXEDFILEINFO));
  if (in.ConsumeBool()) r.signature = in.ConsumeIntegral<uint32_t>();
  if (in.ConsumeBool()) r.textLengths[kCompany] = Length(in, sizeof(kMaker));
  if (in.ConsumeBool()) r.textLengths[kFileVersion] = Length(in, 3);
  r.lastTextUnterminated = in.ConsumeBool();
  return r;
}

void AddSymbols(FuzzedDataProvider& in, sim::Module& module) {
  int count = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    uint64_t at = module.base + in.ConsumeIntegralInRange<uint32_t>(0, module.size);
    std::string decorated = Text(in, in.ConsumeBool() ? 4200 : 40);
    std::string undecorated = in.ConsumeBool() ? Text(in, 4200) : "";
    sim::Symbol& symbol = module.AddSymbol(at, in.ConsumeIntegral<uint16_t>(), decorated, undecorated);
    int lines = in.ConsumeIntegralInRange<int>(0, 2);
    for (int l = 0; l < lines; ++l) {
      symbol.AddLine(at + in.ConsumeIntegral<uint8_t>(), Text(in, 300), in.ConsumeIntegral<uint32_t>());
    }
  }
}

void AddModules(FuzzedDataProvider& in, sim::Machine& m, sim::Process& p) {
  int count = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < count; ++i) {
    uint64_t base = (uint64_t)in.ConsumeIntegral<uint16_t>() << 16;
    DWORD size = in.ConsumeBool() ? 0x10000 : in.ConsumeIntegral<uint32_t>();
    std::string baseName = Text(in, 300);
    std::string path = "C:\\" + Text(in, 300);
    sim::Module& module = p.AddModule(base, size, baseName, path);
    if (in.ConsumeBool()) m.SetVersionResource(path, Version(in));
    AddSymbols(in, module);
  }
}

void AddFrames(FuzzedDataProvider& in, sim::Thread& thread, const sim::Process& p) {
  int count = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < count; ++i) {
    uint64_t pc = in.ConsumeIntegral<uint32_t>();
    if (!p.modules.empty() && in.ConsumeBool()) {
      const sim::Module& module = p.modules[in.ConsumeIntegralInRange<size_t>(0, p.modules.size() - 1)];
      pc = module.base + in.ConsumeIntegral<uint16_t>();
    }
    thread.AddFrame(pc, in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return DiscardReports(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::Machine m;
  m.cutNamesUnterminated = in.ConsumeBool();
  sim::Process& p = m.AddProcess(120, u"app.exe");
  AddModules(in, m, p);
  sim::Thread& first = p.AddThread(10);
  sim::Thread& second = p.AddThread(20);
  AddFrames(in, first, p);
  AddFrames(in, second, p);
  m.AddProcess(4000, u"tool.exe").AddThread(4004);
  RunAndCheck(m, ThreadsiftMain, "threadsift", {"-p", "120"}, {{10, 0}, {20, 0}});
  return 0;
}
