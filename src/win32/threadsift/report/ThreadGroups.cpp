#include <windows.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "threadsift/report/ThreadGroups.h"

namespace {

bool IsShown(const ReportedThread& thread) { return thread.selected || thread.walked || !thread.failures.empty(); }

DWORD LowestId(const ReportedProcess& process, const ThreadGroup& group) {
  return process.threads[group.members[0]].tid;
}

}  // namespace

bool MayShareGroup(const ReportedThread& thread) { return thread.failures.empty() && !thread.frames.empty(); }

std::string GroupKey(const ReportedThread& thread) {
  std::string key(1, (char)thread.idle);
  for (const ReportedFrame& frame : thread.frames) key.append((const char*)&frame.pc, sizeof(frame.pc));
  return key;
}

std::vector<ThreadGroup> GroupThreads(const ReportedProcess& process) {
  std::vector<size_t> shown;
  for (size_t i = 0; i < process.threads.size(); ++i) {
    if (IsShown(process.threads[i])) shown.push_back(i);
  }
  std::stable_sort(shown.begin(), shown.end(),
                   [&](size_t a, size_t b) { return process.threads[a].tid < process.threads[b].tid; });
  std::vector<ThreadGroup> groups;
  std::unordered_map<std::string, size_t> byKey;
  for (size_t at : shown) {
    const ReportedThread& thread = process.threads[at];
    if (MayShareGroup(thread)) {
      auto found = byKey.emplace(GroupKey(thread), groups.size());
      if (!found.second) {
        groups[found.first->second].members.push_back(at);
        continue;
      }
    }
    groups.push_back(ThreadGroup{{at}, thread.idle});
  }
  std::stable_sort(groups.begin(), groups.end(), [&](const ThreadGroup& a, const ThreadGroup& b) {
    if ((a.idle != NotIdle) != (b.idle != NotIdle)) return a.idle == NotIdle;
    if (a.members.size() != b.members.size()) return a.members.size() > b.members.size();
    return LowestId(process, a) < LowestId(process, b);
  });
  return groups;
}
