#include <string>
#include <vector>

#include "threadsift/pictures/FlameGraph.h"
#include "threadsift/pictures/SampleFile.h"
#include "threadsift/pictures/SpeedscopeFile.h"

std::vector<std::string> Utf8Names(const FoldedStacks& stacks) {
  std::vector<std::string> names;
  names.reserve(stacks.names.size());
  for (const std::string& name : stacks.names) names.push_back(Utf8FromAnsi(name.c_str()));
  return names;
}

std::string MakeFoldedFile(const SamplesTaken& taken) {
  ImageText image = FoldableImage(taken.image);
  std::string prefix = Utf8FromWide(image.c_str(), image.size()) + ";";
  std::string text;
  for (const std::pair<std::string, int>& line : FoldedStackTexts(*taken.stacks, taken.names)) {
    text += prefix + line.first + " " + std::to_string(line.second) + "\n";
  }
  return text;
}

SampleFileText MakeSampleFile(SampleFileForm form, const SamplesTaken& taken, const char* version) {
  SampleFileText made;
  switch (form) {
    case FlameGraphForm: {
      FlameGraphPage page = MakeFlameGraph(taken);
      made.text.swap(page.text);
      made.merged = page.merged;
      break;
    }
    case SpeedscopeForm:
      made.text = MakeSpeedscopeFile(taken, version);
      break;
    case FoldedForm:
      made.text = MakeFoldedFile(taken);
      break;
  }
  return made;
}
