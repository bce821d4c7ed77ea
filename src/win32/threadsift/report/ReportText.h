#ifndef THREADSIFT_REPORT_TEXT_H
#define THREADSIFT_REPORT_TEXT_H

#include <string>

#ifdef __GNUC__
#define THREADSIFT_PRINTF_FORMAT(at, first) __attribute__((format(__printf__, at, first)))
#else
#define THREADSIFT_PRINTF_FORMAT(at, first)
#endif

// Where the text report's lines go: printed as they come, or kept in a
// string given for the part in hand (the grouped report prints a thread's
// lines only once every thread has been walked).
class ReportText {
 public:
  void Print(const char* format, ...) THREADSIFT_PRINTF_FORMAT(2, 3);
  // Keeps what is printed from now on at the end of *kept, until Show.
  void Keep(std::string* kept) { kept_ = kept; }
  void Show() { kept_ = nullptr; }
  bool Keeping() const { return kept_ != nullptr; }

 private:
  std::string* kept_ = nullptr;
};

#endif
