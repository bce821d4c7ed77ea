#include "Settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace e2e {
namespace {

Settings g_settings;

bool TakeValue(const char* arg, const char* name, std::string* value) {
  size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  *value = arg + length + 1;
  return true;
}

}  // namespace

const Settings& TheSettings() { return g_settings; }

std::chrono::milliseconds Patience(std::chrono::milliseconds usual) { return usual * g_settings.timeScale; }

bool ReadSettings(int argc, char** argv) {
  std::string width = "64", timeScale = "1";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!TakeValue(arg, "--width", &width) && !TakeValue(arg, "--time-scale", &timeScale) &&
        !TakeValue(arg, "--wine", &g_settings.wine) && !TakeValue(arg, "--prefix", &g_settings.prefix) &&
        !TakeValue(arg, "--threadsift", &g_settings.threadsift) &&
        !TakeValue(arg, "--threadsift-faulting", &g_settings.threadsiftFaulting) &&
        !TakeValue(arg, "--latchsift", &g_settings.latchsift) &&
        !TakeValue(arg, "--latchsift-banner", &g_settings.latchsiftBanner) &&
        !TakeValue(arg, "--fixture", &g_settings.fixture) &&
        !TakeValue(arg, "--fixture-sources", &g_settings.fixtureSources) &&
        !TakeValue(arg, "--wait-scene", &g_settings.waitScene) && !TakeValue(arg, "--demo", &g_settings.demo) &&
        !TakeValue(arg, "--handle-scene", &g_settings.handleScene) &&
        !TakeValue(arg, "--modern-scene", &g_settings.modernScene) &&
        !TakeValue(arg, "--pool-scene", &g_settings.poolScene) &&
        !TakeValue(arg, "--hang-scene", &g_settings.hangScene) && !TakeValue(arg, "--banner", &g_settings.banner) &&
        !TakeValue(arg, "--wine-log", &g_settings.wineLog)) {
      fprintf(stderr, "unknown argument: %s\n", arg);
      return false;
    }
  }
  bool complete = true;
  const struct {
    const char* name;
    const std::string& value;
  } required[] = {{"--wine", g_settings.wine},
                  {"--prefix", g_settings.prefix},
                  {"--threadsift", g_settings.threadsift},
                  {"--threadsift-faulting", g_settings.threadsiftFaulting},
                  {"--latchsift", g_settings.latchsift},
                  {"--fixture", g_settings.fixture},
                  {"--fixture-sources", g_settings.fixtureSources},
                  {"--wait-scene", g_settings.waitScene},
                  {"--handle-scene", g_settings.handleScene},
                  {"--modern-scene", g_settings.modernScene},
                  {"--pool-scene", g_settings.poolScene},
                  {"--hang-scene", g_settings.hangScene},
                  {"--demo", g_settings.demo}};
  for (const auto& setting : required) {
    if (setting.value.empty()) {
      fprintf(stderr, "missing %s=...\n", setting.name);
      complete = false;
    }
  }
  if (g_settings.wineLog.empty()) g_settings.wineLog = "/dev/null";
  if (width != "32" && width != "64") {
    fprintf(stderr, "--width must be 32 or 64, not %s\n", width.c_str());
    complete = false;
  }
  g_settings.width = width == "32" ? 32 : 64;
  char* end = nullptr;
  long scale = strtol(timeScale.c_str(), &end, 10);
  if (timeScale.empty() || *end != '\0' || scale < 1 || scale > 100) {
    fprintf(stderr, "--time-scale must be a number from 1 to 100, not %s\n", timeScale.c_str());
    complete = false;
  }
  g_settings.timeScale = (int)scale;
  return complete;
}

}  // namespace e2e
