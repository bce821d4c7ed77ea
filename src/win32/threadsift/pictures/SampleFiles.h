#ifndef THREADSIFT_SAMPLE_FILES_H
#define THREADSIFT_SAMPLE_FILES_H

#include <memory>
#include <vector>

#include "threadsift/pictures/PartialFile.h"
#include "threadsift/pictures/SampleFile.h"

class ReportSink;

// The files a sampling run writes its samples to, each in the form its name
// ends with: made before the first sample, so that a path that cannot be
// written is said before any thread is held, and written once the samples
// are all taken. What is unfinished is deleted when the object goes.
class SampleFiles {
 public:
  // Makes each file under its own name. False after a line naming the
  // first that cannot be made.
  bool Create(ReportSink& report, const std::vector<const char*>& paths);

  bool Empty() const { return files_.empty(); }
  bool Writes(SampleFileForm form) const;

  // Writes the samples to every file and says so, a line a file. False when
  // any could not be written (after a line naming it); the others are
  // written still.
  bool Write(ReportSink& report, const SamplesTaken& taken, const char* version);

 private:
  std::vector<std::unique_ptr<PartialFile>> files_;
  std::vector<SampleFileForm> forms_;
};

#endif
