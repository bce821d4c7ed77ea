#include <cctype>
#include <cstring>

#include "threadsift/pictures/SampleFileForm.h"

namespace {

struct Ending {
  const char* text;
  SampleFileForm form;
};

const Ending kEndings[] = {
    {".svg", FlameGraphForm},
    {".speedscope.json", SpeedscopeForm},
    {".folded", FoldedForm},
    {".txt", FoldedForm},
};

bool EndsWith(const char* path, const char* ending) {
  size_t length = strlen(path);
  size_t endingLength = strlen(ending);
  // A name is more than its ending.
  if (length <= endingLength) return false;
  const char* tail = path + length - endingLength;
  for (size_t i = 0; i < endingLength; ++i) {
    if (tolower((unsigned char)tail[i]) != ending[i]) return false;
  }
  return true;
}

}  // namespace

bool SampleFileFormOf(const char* path, SampleFileForm* form) {
  for (const Ending& ending : kEndings) {
    if (EndsWith(path, ending.text)) {
      *form = ending.form;
      return true;
    }
  }
  return false;
}
