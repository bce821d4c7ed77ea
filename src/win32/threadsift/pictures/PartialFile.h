#ifndef THREADSIFT_PARTIAL_FILE_H
#define THREADSIFT_PARTIAL_FILE_H

#include <windows.h>

#include <memory>
#include <string>

#include "threadsift/base/ScopedHandle.h"

class ReportSink;

// A file the tool writes, made under a name of its own beside the one it is
// to have and put in that place only once it is complete: a reader never
// finds it half written, and a file of that name is replaced by a complete
// one or not at all. What is unfinished is deleted when the object goes.
class PartialFile {
 public:
  explicit PartialFile(const std::string& path);
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // Makes the file under its own name. False after a line naming the path.
  bool Create(ReportSink& report);
  // Adds bytes to it. False after a line naming the path.
  bool Write(ReportSink& report, const std::string& bytes);
  // Closes it and puts it in its place, replacing a file of that name.
  // False after a line naming the path.
  bool Finish(ReportSink& report);

  const std::string& path() const { return path_; }

 private:
  // Closes and deletes what is unfinished.
  void Discard();

  std::string path_;
  std::string partialPath_;
  std::unique_ptr<ScopedHandle> handle_;
};

#endif
