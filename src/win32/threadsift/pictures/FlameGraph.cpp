#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "threadsift/FlameGraphTemplate.h"
#include "threadsift/pictures/FlameGraph.h"
#include "threadsift/pictures/PageTemplate.h"
#include "threadsift/pictures/XmlText.h"

namespace {

// The page's measures, in pixels.
const double kLeft = 10;
const double kSpan = 1180;  // the width of the image's box
const int kPageWidth = 1200;
const int kRowHeight = 16;
const int kTop = 84;  // under the heading, the detail, the legend and the reset line
const int kBottom = 34;
// A box narrower than this is merged into its caller.
const double kNarrowestBox = 0.1;
// A letter of a label takes about this many pixels.
const double kLetterWidth = 7;
// What a box's markup takes beside its name, in its tip and its label, at most.
const size_t kBoxMarkup = 260;

const long long kImageLabel = -1;
long long ThreadLabel(DWORD tid) { return -2 - (long long)tid; }
DWORD ThreadOfLabel(long long label) { return (DWORD)(-2 - label); }

// A box of the graph: the image's (the root), a thread's, or a frame's
// (by the index of its name), with the samples of the stacks through it and
// the samples left of it.
struct FlameBox {
  int parent;
  long long label;
  int depth;
  long long count;
  long long offset;
};

// Each distinct stack adds its count to the boxes of its path, making those
// it lacks: the boxes grow with the distinct stacks, not with the samples.
std::vector<FlameBox> BuildBoxes(const FoldedStacks& stacks) {
  std::vector<FlameBox> boxes;
  boxes.push_back(FlameBox{-1, kImageLabel, 0, 0, 0});
  std::map<std::pair<int, long long>, int> childOf;
  auto step = [&](int parent, long long label, int count) {
    auto found = childOf.find(std::make_pair(parent, label));
    int index = 0;
    if (found != childOf.end()) {
      index = found->second;
    } else {
      index = (int)boxes.size();
      boxes.push_back(FlameBox{parent, label, boxes[(size_t)parent].depth + 1, 0, 0});
      childOf.emplace(std::make_pair(parent, label), index);
    }
    boxes[(size_t)index].count += count;
    return index;
  };
  for (const auto& counted : stacks.counts) {
    int count = counted.second.count;
    boxes[0].count += count;
    int at = step(0, ThreadLabel(counted.first.first), count);
    const std::vector<int>& names = counted.first.second;
    for (auto name = names.rbegin(); name != names.rend(); ++name) at = step(at, *name, count);
  }
  return boxes;
}

// Lays the callees of each box side by side above it, threads by their ids
// and frames by their names: a parent is made before its children, so one
// pass in the order made places them all.
void PlaceBoxes(const std::vector<std::string>& names, std::vector<FlameBox>* boxes) {
  std::vector<std::vector<int>> children(boxes->size());
  for (size_t i = 1; i < boxes->size(); ++i) children[(size_t)(*boxes)[i].parent].push_back((int)i);
  auto before = [&](int a, int b) {
    long long la = (*boxes)[(size_t)a].label, lb = (*boxes)[(size_t)b].label;
    if (la < 0 || lb < 0) return ThreadOfLabel(la) < ThreadOfLabel(lb);
    return names[(size_t)la] < names[(size_t)lb];
  };
  for (size_t i = 0; i < boxes->size(); ++i) {
    std::sort(children[i].begin(), children[i].end(), before);
    long long offset = (*boxes)[i].offset;
    for (int child : children[i]) {
      (*boxes)[(size_t)child].offset = offset;
      offset += (*boxes)[(size_t)child].count;
    }
  }
}

// The boxes the page shows: the widest first (a caller before its callees,
// which are no wider), until they grow too narrow to see or the page full.
std::vector<bool> KeptBoxes(const std::vector<FlameBox>& boxes, const std::vector<std::string>& texts, size_t room) {
  std::vector<int> order(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    const FlameBox &x = boxes[(size_t)a], &y = boxes[(size_t)b];
    if (x.count != y.count) return x.count > y.count;
    return x.depth != y.depth ? x.depth < y.depth : a < b;
  });
  std::vector<bool> kept(boxes.size(), false);
  long long total = boxes[0].count;
  size_t used = 0;
  for (int index : order) {
    const FlameBox& box = boxes[(size_t)index];
    if (total == 0 || (double)box.count * kSpan < (double)total * kNarrowestBox) break;
    size_t cost = kBoxMarkup + 2 * XmlEscapedLength(texts[(size_t)index]);
    if (used + cost > room) break;
    used += cost;
    kept[(size_t)index] = true;
  }
  return kept;
}

// What each box is called: the image's name, "Thread <id> (0x<id>)", or
// the frame's name.
std::vector<std::string> BoxTexts(const SamplesTaken& taken, const std::vector<FlameBox>& boxes) {
  std::vector<std::string> texts;
  texts.reserve(boxes.size());
  std::string image = XmlText(Utf8FromWide(taken.image.c_str(), taken.image.size()));
  for (const FlameBox& box : boxes) {
    if (box.label == kImageLabel) {
      texts.push_back(image);
    } else if (box.label < 0) {
      char text[48];
      DWORD tid = ThreadOfLabel(box.label);
      snprintf(text, sizeof(text), "Thread %u (0x%x)", (unsigned)tid, (unsigned)tid);
      texts.push_back(text);
    } else {
      texts.push_back(XmlText(taken.names[(size_t)box.label]));
    }
  }
  return texts;
}

unsigned Hash(const std::string& text) {
  unsigned hash = 2166136261u;
  for (char c : text) hash = (hash ^ (unsigned char)c) * 16777619u;
  return hash;
}

// Warm colours for the process's own modules, cool ones for the
// platform's, each module its own shade; grey outside every module and for
// the image and its threads.
std::string FillOf(const FoldedStacks& stacks, const FlameBox& box) {
  char fill[40];
  if (box.label < 0) return box.label == kImageLabel ? "hsl(0,0%,78%)" : "hsl(0,0%,86%)";
  const FrameOrigin& origin = stacks.origins[(size_t)box.label];
  if (origin.module.empty()) return "hsl(0,0%,70%)";
  unsigned hash = Hash(origin.module);
  unsigned hue = origin.platform ? 195 + hash % 45 : hash % 50;
  snprintf(fill, sizeof(fill), "hsl(%u,%u%%,%u%%)", hue, origin.platform ? 55 : 75 + hash / 64 % 15,
           origin.platform ? 62 + hash / 64 % 12 : 58 + hash / 1024 % 10);
  return fill;
}

std::string Pixels(double value) {
  char text[32];
  snprintf(text, sizeof(text), "%.2f", value);
  return text;
}

// As much of the name as the box holds.
std::string LabelOf(const std::string& text, double width) {
  size_t letters = (size_t)(width / kLetterWidth);
  if (CharacterCount(text) <= letters) return text;
  return letters < 3 ? std::string() : FirstCharacters(text, letters - 2) + "..";
}

std::string TipOf(const std::string& text, long long count, long long total) {
  char share[64];
  snprintf(share, sizeof(share), "\n%lld sample%s (%.2f%%)", count, count == 1 ? "" : "s",
           total > 0 ? (double)count * 100 / (double)total : 0.0);
  return text + share;
}

// The names of a box's values in the template, in the order BoxRow gives them.
const std::vector<std::string> kBoxFields = {"o", "n", "d", "tip", "x", "y", "w", "fill", "tx", "ty", "label"};

std::vector<std::string> BoxRow(const FlameBox& box, const std::string& text, const std::string& fill, long long total,
                                int top, int highest) {
  double x = kLeft + (double)box.offset * kSpan / (double)total;
  double width = (double)box.count * kSpan / (double)total;
  int y = top + (highest - box.depth) * kRowHeight;
  return {std::to_string(box.offset),
          std::to_string(box.count),
          std::to_string(box.depth),
          TipOf(text, box.count, total),
          Pixels(x),
          std::to_string(y),
          Pixels(width),
          fill,
          Pixels(x + 3),
          std::to_string(y + 11),
          LabelOf(text, width)};
}

std::string Plural(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string HeadingOf(const SamplesTaken& taken) {
  char pid[48];
  snprintf(pid, sizeof(pid), " (process %d, 0x%x): ", taken.pid, (unsigned)taken.pid);
  return XmlText(Utf8FromWide(taken.image.c_str(), taken.image.size())) + pid +
         Plural(taken.samples, "sample", "samples") + " of " + Plural(taken.threads, "thread", "threads") + ", every " +
         std::to_string(taken.intervalMs) + " ms";
}

std::string DetailOf(const SamplesTaken& taken, int merged) {
  std::string detail;
  if (taken.interrupted) {
    detail = "Interrupted by a break key: the samples taken so far (" + std::to_string(taken.samples) + " of " +
             std::to_string(taken.requested) + "). ";
  }
  if (merged > 0) {
    detail += Plural(merged, "frame", "frames") + " too narrow to see merged into their callers.";
  }
  return detail;
}

// The page with the boxes kept, and what it says beside them.
std::string RenderPage(const SamplesTaken& taken, const std::vector<FlameBox>& boxes,
                       const std::vector<std::string>& texts, const std::vector<bool>& kept, int merged) {
  long long total = boxes[0].count;
  int highest = 0;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (kept[i]) highest = std::max(highest, boxes[i].depth);
  }
  int height = kTop + (highest + 1) * kRowHeight + kBottom;
  TemplateValues page;
  page.values = {{"width", std::to_string(kPageWidth)},
                 {"height", std::to_string(height)},
                 {"total", std::to_string(total)},
                 {"left", Pixels(kLeft)},
                 {"span", Pixels(kSpan)},
                 {"title", "Flame graph: " + HeadingOf(taken)},
                 {"heading", HeadingOf(taken)},
                 {"detail", DetailOf(taken, merged)},
                 {"resetY", std::to_string(kTop - 6)},
                 {"searchX", std::to_string(kPageWidth - 310)},
                 {"matchedX", Pixels(kLeft + kSpan)},
                 {"infoY", std::to_string(height - 12)}};
  page.list = "boxes";
  page.fields = kBoxFields;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (kept[i]) page.rows.push_back(BoxRow(boxes[i], texts[i], FillOf(*taken.stacks, boxes[i]), total, kTop, highest));
  }
  return FillTemplate(kFlameGraphTemplate, page);
}

}  // namespace

FlameGraphPage MakeFlameGraph(const SamplesTaken& taken) {
  std::vector<FlameBox> boxes = BuildBoxes(*taken.stacks);
  PlaceBoxes(taken.names, &boxes);
  std::vector<std::string> texts = BoxTexts(taken, boxes);
  // The page beside its boxes: the template, and the heading twice.
  size_t around = sizeof(kFlameGraphTemplate) + 4 * XmlEscapedLength(HeadingOf(taken)) + 1024;
  std::vector<bool> kept = KeptBoxes(boxes, texts, kMaxPageBytes - around);
  FlameGraphPage page;
  // With no samples there is no box to show, and none merged.
  page.merged = boxes[0].count == 0 ? 0 : (int)std::count(kept.begin(), kept.end(), false);
  page.text = RenderPage(taken, boxes, texts, kept, page.merged);
  return page;
}
