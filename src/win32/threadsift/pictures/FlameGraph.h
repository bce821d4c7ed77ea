#ifndef THREADSIFT_FLAME_GRAPH_H
#define THREADSIFT_FLAME_GRAPH_H

#include <string>

#include "threadsift/pictures/SampleFile.h"

// The most bytes a flame graph page takes, however many samples and
// distinct stacks it shows.
const size_t kMaxPageBytes = 2000000;

// A flame graph page: one box a frame, its width its share of the samples,
// the process's image at the bottom, its threads above it and their
// frames above those, callers below callees; boxes narrower than a tenth
// of a pixel, and the narrowest beyond what the page holds, are merged into
// their callers (their samples stay in their callers' widths).
struct FlameGraphPage {
  std::string text;
  int merged = 0;  // frames merged into their callers
};

FlameGraphPage MakeFlameGraph(const SamplesTaken& taken);

#endif
