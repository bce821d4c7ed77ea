#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "threadsift/pictures/SpeedscopeFile.h"

namespace {

const char kSchema[] = "https://www.speedscope.app/file-format-schema.json";

nlohmann::json SharedFrames(const SamplesTaken& taken) {
  nlohmann::json frames = nlohmann::json::array();
  const FoldedStacks& stacks = *taken.stacks;
  for (size_t i = 0; i < taken.names.size(); ++i) {
    nlohmann::json frame = {{"name", taken.names[i]}};
    const FrameOrigin& origin = stacks.origins[i];
    if (!origin.file.empty()) {
      frame["file"] = Utf8FromAnsi(origin.file.c_str());
      frame["line"] = origin.line;
    }
    frames.push_back(frame);
  }
  return frames;
}

// The frames of stack number id, from the outermost in.
nlohmann::json StackFrames(const FoldedStacks& stacks, int id) {
  nlohmann::json frames = nlohmann::json::array();
  if (id == kNotSampled) return frames;
  const std::vector<int>& names = stacks.stackOfId[(size_t)id]->second;
  for (auto name = names.rbegin(); name != names.rend(); ++name) frames.push_back(*name);
  return frames;
}

nlohmann::json ThreadProfile(const SamplesTaken& taken, DWORD tid, const ThreadTimeline& timeline) {
  nlohmann::json samples = nlohmann::json::array();
  nlohmann::json weights = nlohmann::json::array();
  for (const SampleRun& run : timeline.runs) {
    samples.push_back(StackFrames(*taken.stacks, run.stack));
    weights.push_back((long long)run.length * taken.intervalMs);
  }
  char name[48];
  snprintf(name, sizeof(name), "Thread %u (0x%x)", (unsigned)tid, (unsigned)tid);
  return {{"type", "sampled"},
          {"name", name},
          {"unit", "milliseconds"},
          {"startValue", (long long)timeline.firstSample * taken.intervalMs},
          {"endValue", (long long)timeline.nextSample * taken.intervalMs},
          {"samples", samples},
          {"weights", weights}};
}

std::string RunName(const SamplesTaken& taken) {
  std::string name = Utf8FromWide(taken.image.c_str(), taken.image.size());
  name += " (process " + std::to_string(taken.pid) + "): " + std::to_string(taken.samples) + " samples every " +
          std::to_string(taken.intervalMs) + " ms";
  if (taken.interrupted)
    name += ", interrupted by a break key after " + std::to_string(taken.samples) + " of " +
            std::to_string(taken.requested);
  return name;
}

}  // namespace

std::string MakeSpeedscopeFile(const SamplesTaken& taken, const char* version) {
  nlohmann::json profiles = nlohmann::json::array();
  for (const auto& timeline : taken.stacks->timelines) {
    profiles.push_back(ThreadProfile(taken, timeline.first, timeline.second));
  }
  nlohmann::json file = {{"$schema", kSchema},
                         {"exporter", std::string("threadsift v") + version},
                         {"name", RunName(taken)},
                         {"shared", {{"frames", SharedFrames(taken)}}},
                         {"profiles", profiles}};
  if (!profiles.empty()) file["activeProfileIndex"] = 0;
  return file.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
