#include <cstdio>

#include "threadsift/pictures/SampleFiles.h"

namespace {

// Writes the samples to one file and says so. False after a line naming it.
bool WriteSampleFile(ReportSink& report, const SamplesTaken& taken, const char* version, PartialFile& file,
                     SampleFileForm form) {
  SampleFileText made = MakeSampleFile(form, taken, version);
  if (!file.Write(report, made.text) || !file.Finish(report)) return false;
  printf("Wrote %d sample%s of %d thread%s to %s", taken.samples, taken.samples == 1 ? "" : "s", taken.threads,
         taken.threads == 1 ? "" : "s", file.path().c_str());
  if (made.merged > 0) {
    printf(", %d frame%s too narrow to see merged into their callers", made.merged, made.merged == 1 ? "" : "s");
  }
  if (taken.interrupted) printf(", interrupted: the samples taken so far");
  printf("\n");
  return true;
}

}  // namespace

bool SampleFiles::Create(ReportSink& report, const std::vector<const char*>& paths) {
  for (const char* path : paths) {
    SampleFileForm form = FoldedForm;
    SampleFileFormOf(path, &form);
    files_.emplace_back(new PartialFile(path));
    forms_.push_back(form);
    if (!files_.back()->Create(report)) return false;
  }
  return true;
}

bool SampleFiles::Writes(SampleFileForm form) const {
  for (SampleFileForm written : forms_) {
    if (written == form) return true;
  }
  return false;
}

bool SampleFiles::Write(ReportSink& report, const SamplesTaken& taken, const char* version) {
  bool written = true;
  for (size_t i = 0; i < files_.size(); ++i) {
    written = WriteSampleFile(report, taken, version, *files_[i], forms_[i]) && written;
  }
  return written;
}
