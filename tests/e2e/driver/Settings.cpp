#include "Settings.h"

#include <cstdio>
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

bool ReadSettings(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!TakeValue(arg, "--wine", &g_settings.wine) && !TakeValue(arg, "--prefix", &g_settings.prefix) &&
        !TakeValue(arg, "--threadsift", &g_settings.threadsift) &&
        !TakeValue(arg, "--threadsift-faulting", &g_settings.threadsiftFaulting) &&
        !TakeValue(arg, "--latchsift", &g_settings.latchsift) &&
        !TakeValue(arg, "--latchsift-banner", &g_settings.latchsiftBanner) &&
        !TakeValue(arg, "--fixture", &g_settings.fixture) &&
        !TakeValue(arg, "--fixture-sources", &g_settings.fixtureSources) &&
        !TakeValue(arg, "--banner", &g_settings.banner) &&
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
                  {"--fixture-sources", g_settings.fixtureSources}};
  for (const auto& setting : required) {
    if (setting.value.empty()) {
      fprintf(stderr, "missing %s=...\n", setting.name);
      complete = false;
    }
  }
  if (g_settings.wineLog.empty()) g_settings.wineLog = "/dev/null";
  return complete;
}

}  // namespace e2e
