#ifndef THREADSIFT_MODULE_VERSION_H
#define THREADSIFT_MODULE_VERSION_H

#include <string>

class ReportSink;

// The label of a file without usable version information.
const char kNoVersionLabel[] = "-.--.----.----";

// The version label of a module file: the maker's label for our own
// products, the four-part file version otherwise, or "-.--.----.----". No
// memory for the version block is said through report.
std::string GetModuleVersion(ReportSink& report, const char* path);

#endif
