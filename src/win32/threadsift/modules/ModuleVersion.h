#ifndef THREADSIFT_MODULE_VERSION_H
#define THREADSIFT_MODULE_VERSION_H

#include <cstddef>
#include <string>

#include "threadsift/report/ReportRecord.h"

class ReportSink;

// The version label of a module file: the maker's label for our own
// products, the four-part file version otherwise, or "-.--.----.----". No
// memory for the version block is said through report. *settled is true
// when the label is the file's own, which every read of the same file gives
// (its version record, or the lack of a usable one), and false when the read
// itself failed (memory, access).
std::string GetModuleVersion(ReportSink& report, const char* path, bool* settled);

#endif
