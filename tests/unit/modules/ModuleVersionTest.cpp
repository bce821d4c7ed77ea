#include <gtest/gtest.h>

#include "Machine.h"
#include "Run.h"
#include "threadsift/modules/ModuleVersion.h"
#include "threadsift/report/ReportSink.h"

int SimPrintf(const char* format, ...);

namespace {

const char kPath[] = "C:\\app\\module.dll";
const char kCompany[] = "\\StringFileInfo\\040904E4\\CompanyName";
const char kFileVersion[] = "\\StringFileInfo\\040904E4\\FileVersion";

// Runs GetModuleVersion in a child; the output is the label between brackets,
// followed by " settled" when the label is the file's own.
std::string LabelAndSettling(sim::Machine& m) {
  sim::RunResult r = sim::RunInChild(m, []() {
    ReportSink report(false, "");
    bool settled = false;
    std::string label = GetModuleVersion(report, kPath, &settled);
    SimPrintf(settled ? "[%s] settled" : "[%s]", label.c_str());
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
  return r.out;
}

// The output up to the label's closing bracket.
std::string LabelOf(sim::Machine& m) {
  std::string out = LabelAndSettling(m);
  return out.substr(0, out.rfind(']') + 1);
}

sim::VersionResource Versioned() {
  sim::VersionResource r;
  r.FileVersion(4, 0, 1381, 1).ProductVersion(3, 2, 7);
  return r;
}

std::string LabelWith(const sim::VersionResource& r) {
  sim::Machine m;
  m.SetVersionResource(kPath, r);
  return LabelOf(m);
}

TEST(ModuleVersion, FileWithoutVersionGetsThePlaceholder) {
  sim::Machine m;
  EXPECT_EQ(LabelOf(m), "[-.--.----.----]");
}

TEST(ModuleVersion, MakersModuleShowsProductVersionAndFileVersionText) {
  EXPECT_EQ(LabelWith(Versioned().String(kCompany, "Vantorel Products Inc.").String(kFileVersion, "15")),
            "[3.2.7.15]");
  sim::VersionResource full = Versioned().String(kCompany, "Vantorel Products Inc.").String(kFileVersion, "12345678");
  EXPECT_EQ(LabelWith(full), "[3.2.7.12345678]");
  EXPECT_EQ(
      LabelWith(
          Versioned().ProductVersion(10, 20, 300).String(kCompany, "Vantorel Products Inc.").String(kFileVersion, "7")),
      "[10.20.300.7]");
  EXPECT_EQ(LabelWith(Versioned()
                          .ProductVersion(65535, 65535, 65535)
                          .String(kCompany, "Vantorel Products Inc.")
                          .String(kFileVersion, "%s%n")),
            "[65535.65535.65535.%s%n]");
}

TEST(ModuleVersion, EveryOtherModuleShowsItsFourPartFileVersion) {
  const struct {
    const char* name;
    sim::VersionResource resource;
  } cases[] = {
      {"other company", Versioned().String(kCompany, "Other Corp.").String(kFileVersion, "15")},
      {"maker without file-version text", Versioned().String(kCompany, "Vantorel Products Inc.")},
      {"company differing by case", Versioned().String(kCompany, "VANTOREL Products Inc.").String(kFileVersion, "15")},
      {"company with a trailing space",
       Versioned().String(kCompany, "Vantorel Products Inc. ").String(kFileVersion, "15")},
      {"string table of another translation",
       Versioned()
           .String("\\StringFileInfo\\040704B0\\CompanyName", "Vantorel Products Inc.")
           .String("\\StringFileInfo\\040704B0\\FileVersion", "15")},
      {"no string table", Versioned()},
  };
  for (const auto& c : cases) EXPECT_EQ(LabelWith(c.resource), "[4.00.1381.0001]") << c.name;
  EXPECT_EQ(LabelWith(sim::VersionResource().FileVersion(65535, 65535, 65535, 65535)), "[65535.65535.65535.65535]");
}

TEST(ModuleVersion, WithoutTheFixedRecordEvenTheMakersModuleGetsThePlaceholder) {
  sim::VersionResource r = Versioned().String(kCompany, "Vantorel Products Inc.").String(kFileVersion, "15");
  r.hasRoot = false;
  EXPECT_EQ(LabelWith(r), "[-.--.----.----]");
}

TEST(ModuleVersion, ReadsTheReportedSizeIntoABlockThatHoldsItAndReleasesIt) {
  sim::Machine m;
  sim::VersionResource r = Versioned();
  r.reportedSize = 300;
  m.SetVersionResource(kPath, r);
  EXPECT_EQ(LabelOf(m), "[4.00.1381.0001]");
  EXPECT_EQ(m.CallArgs("GetFileVersionInfoA"), std::vector<std::string>{std::string(kPath) + ",0,300"});
  EXPECT_GE(std::stoul(m.CallArgs("malloc").at(0)), 300u);
}

// What the version library returns is used only within the sizes and
// lengths it gives, and a fixed record only when it is whole and signed.
TEST(ModuleVersion, DamagedResourceIsReadOnlyWithinWhatThePlatformReturned) {
  const char* kMaker = "Vantorel Products Inc.";
  struct Case {
    const char* name;
    sim::VersionResource resource;
    std::string label;
  };
  std::vector<Case> cases = {
      {"size that leaves no room for the spare bytes", Versioned(), "[-.--.----.----]"},
      {"fixed record shorter than its size", Versioned().String(kCompany, kMaker).String(kFileVersion, "15"),
       "[-.--.----.----]"},
      {"fixed record without its signature", Versioned(), "[-.--.----.----]"},
      {"file-version text longer than its length", Versioned().String(kCompany, kMaker).String(kFileVersion, "15"),
       "[3.2.7.1]"},
      {"company text longer than its length",
       Versioned().String(kCompany, std::string(kMaker) + "XYZ").String(kFileVersion, "15"), "[3.2.7.15]"},
      {"file-version text that ends the block unterminated",
       Versioned().String(kCompany, kMaker).String(kFileVersion, "15"), "[3.2.7.15]"},
      {"file-version text whose length runs past the block",
       Versioned().String(kCompany, kMaker).String(kFileVersion, "15"), "[3.2.7.15]"},
      {"fixed record that crosses the block's end", Versioned(), "[-.--.----.----]"},
  };
  cases[0].resource.reportedSize = 0xFFFFFFF0;
  cases[1].resource.rootLength = sizeof(VS_FIXEDFILEINFO) - 1;
  cases[2].resource.signature = 0;
  cases[3].resource.textLengths[kFileVersion] = 1;
  cases[4].resource.textLengths[kCompany] = 22;
  cases[5].resource.lastTextUnterminated = true;
  cases[6].resource.lastTextUnterminated = true;
  cases[6].resource.textLengths[kFileVersion] = 1000;
  cases[7].resource.reportedSize = 32;  // the block ends 20 bytes into the fixed record
  cases[7].resource.rootPastEnd = true;
  for (const Case& c : cases) EXPECT_EQ(LabelWith(c.resource), c.label) << c.name;
}

TEST(ModuleVersion, FailuresEndInThePlaceholder) {
  sim::Machine unread;
  unread.SetVersionResource(kPath, Versioned());
  unread.Fail("GetFileVersionInfoA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(LabelOf(unread), "[-.--.----.----]");

  sim::Machine noMemory;
  noMemory.SetVersionResource(kPath, Versioned());
  noMemory.Fail("malloc", 0);
  std::string out = LabelOf(noMemory);
  std::string size = noMemory.CallArgs("malloc").at(0);
  EXPECT_EQ(out, "FATAL: allocate " + size + " byte(s) failed\n[-.--.----.----]");
}

// Only a label the file itself gives may be kept for the next process that
// loads the same file: a file read without a usable record is settled, a
// read that failed is not.
TEST(ModuleVersion, OnlyTheFilesOwnLabelIsSettled) {
  const struct {
    const char* name;
    bool versioned;
    const char* failing;
    DWORD error;
    const char* expected;
  } cases[] = {
      {"label found", true, nullptr, 0, "[4.00.1381.0001] settled"},
      {"no version resource", false, nullptr, 0, "[-.--.----.----] settled"},
      {"no version data (as Wine says it)", true, "GetFileVersionInfoSizeA", ERROR_RESOURCE_DATA_NOT_FOUND,
       "[-.--.----.----] settled"},
      {"size query denied", true, "GetFileVersionInfoSizeA", ERROR_ACCESS_DENIED, "[-.--.----.----]"},
      {"block read denied", true, "GetFileVersionInfoA", ERROR_ACCESS_DENIED, "[-.--.----.----]"},
      {"no memory for the block", true, "malloc", 0, "[-.--.----.----]"},
  };
  for (const auto& c : cases) {
    sim::Machine m;
    if (c.versioned) m.SetVersionResource(kPath, Versioned());
    if (c.failing != nullptr) m.Fail(c.failing, c.error);
    std::string out = LabelAndSettling(m);
    EXPECT_EQ(out.substr(out.find('[')), c.expected) << c.name;
  }
}

}  // namespace
