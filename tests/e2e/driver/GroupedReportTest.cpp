// threadsift -g under Wine: the pool scene's threads, each in exactly one
// group; the pool's workers one idle group with the names two of them were
// given; the two waiters in the same frames one group with both wait
// lines; the holder, the message loop, the sleeper and the pair each as
// they are; busy groups before idle ones.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "Runs.h"
#include "Scene.h"
#include "Settings.h"

namespace e2e {
namespace {

struct GroupLine {
  std::vector<unsigned> members;
  std::map<unsigned, std::string> names;
  std::string idle;  // empty: not idle
  size_t at;         // the line's index in the report
};

// Every group line of a report, in order.
std::vector<GroupLine> GroupLines(const Lines& lines) {
  static const std::regex line("^(\\d+) threads?: (.*?)( \\(idle: ([a-z ]+)\\))?$");
  static const std::regex member("(\\d+) \\(0x[0-9a-f]+\\)( \"([^\"]*)\")?");
  std::vector<GroupLine> groups;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch found;
    if (!std::regex_match(lines[i], found, line)) continue;
    GroupLine group;
    group.idle = found[4];
    group.at = i;
    std::string members = found[2];
    for (std::sregex_iterator it(members.begin(), members.end(), member), end; it != end; ++it) {
      unsigned tid = (unsigned)std::stoul((*it)[1]);
      group.members.push_back(tid);
      if ((*it)[2].matched) group.names[tid] = (*it)[3];
    }
    EXPECT_EQ(group.members.size(), std::stoul(found[1])) << lines[i];
    groups.push_back(group);
  }
  return groups;
}

unsigned Word(const Scene& scene, const std::string& word, size_t at = 1) {
  return (unsigned)std::stoul(scene.Lines(word).at(0).at(at));
}

const GroupLine* GroupOf(const std::vector<GroupLine>& groups, unsigned tid) {
  for (const GroupLine& group : groups) {
    for (unsigned member : group.members) {
      if (member == tid) return &group;
    }
  }
  return nullptr;
}

TEST(GroupedReport, PoolSceneGroupsEachThreadOnce) {
  Scene scene(TheSettings().poolScene, "ready");
  ASSERT_TRUE(scene.Ready());
  std::string pid = scene.Lines("pid").at(0).at(1);
  ToolRun plain = RunThreadsift({"-p", pid});
  ToolRun run = RunThreadsift({"-p", pid, "-g", "-w"});
  ASSERT_EQ(run.status, 0) << run.out;
  Lines lines = SplitLines(run.out);
  std::vector<GroupLine> groups = GroupLines(lines);

  // Every thread the plain report lists is in exactly one group.
  std::multiset<unsigned> grouped, listed;
  for (const GroupLine& group : groups) grouped.insert(group.members.begin(), group.members.end());
  static const std::regex threadLine("^Thread (\\d+) \\(0x[0-9a-f]+\\)$");
  for (const std::string& line : SplitLines(plain.out)) {
    std::smatch found;
    if (std::regex_match(line, found, threadLine)) listed.insert((unsigned)std::stoul(found[1]));
  }
  EXPECT_EQ(grouped, listed) << run.out;

  // The pool: one idle group, the two named workers "Teller", the others
  // not (Wine names its workers itself).
  std::set<unsigned> named;
  for (const std::vector<std::string>& words : scene.Lines("named")) named.insert((unsigned)std::stoul(words.at(1)));
  ASSERT_EQ(named.size(), 2u);
  const GroupLine* pool = GroupOf(groups, *named.begin());
  ASSERT_NE(pool, nullptr) << run.out;
  EXPECT_EQ(pool->idle, "waiting for work in the thread pool") << run.out;
  EXPECT_GE(pool->members.size(), 4u) << run.out;
  for (unsigned tid : pool->members) {
    auto name = pool->names.find(tid);
    bool teller = name != pool->names.end() && name->second == "Teller";
    EXPECT_EQ(teller, named.count(tid) == 1) << tid << "\n" << run.out;
  }

  // The waiters in the same frames: one group, then each one's wait line.
  std::vector<std::vector<std::string>> waiters = scene.Lines("waiter");
  ASSERT_EQ(waiters.size(), 2u);
  unsigned first = (unsigned)std::stoul(waiters[0][1]), second = (unsigned)std::stoul(waiters[1][1]);
  unsigned holder = Word(scene, "holder");
  const GroupLine* waiting = GroupOf(groups, first);
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ(waiting->members, std::vector<unsigned>({std::min(first, second), std::max(first, second)})) << run.out;
  EXPECT_EQ(waiting->idle, "");
  size_t waitLines = 0;
  for (size_t i = waiting->at + 1; i < lines.size() && !lines[i].empty(); ++i) {
    if (lines[i].find(" waits for critical section ") != std::string::npos) {
      EXPECT_NE(lines[i].find(" held by thread " + std::to_string(holder) + " "), std::string::npos) << lines[i];
      ++waitLines;
    }
  }
  EXPECT_EQ(waitLines, 2u) << run.out;

  // The others, each as it is.
  const struct {
    unsigned tid;
    const char* idle;
  } alone[] = {{holder, ""}, {Word(scene, "loop"), "waiting for a message"}, {Word(scene, "sleeper"), "sleeping"}};
  for (const auto& thread : alone) {
    const GroupLine* group = GroupOf(groups, thread.tid);
    ASSERT_NE(group, nullptr) << thread.tid;
    EXPECT_EQ(group->members, std::vector<unsigned>({thread.tid})) << run.out;
    EXPECT_EQ(group->idle, thread.idle) << run.out;
  }
  std::string pair = "thread " + std::to_string(Word(scene, "pair", 1));
  EXPECT_NE(run.out.find("\nDeadlock: " + pair + " ("), std::string::npos) << run.out;

  // Busy groups first.
  bool idleSeen = false;
  for (const GroupLine& group : groups) {
    EXPECT_FALSE(idleSeen && group.idle.empty()) << run.out;
    idleSeen = idleSeen || !group.idle.empty();
  }

  // -j gives the groups in the text's order.
  ToolRun json = RunThreadsift({"-p", pid, "-g", "-j"});
  ASSERT_EQ(json.status, 0);
  ToolRun text = RunThreadsift({"-p", pid, "-g"});
  std::string order;
  for (const GroupLine& group : GroupLines(SplitLines(text.out))) {
    order += order.empty() ? "[" : ",[";
    for (size_t i = 0; i < group.members.size(); ++i) order += (i ? "," : "") + std::to_string(group.members[i]);
    order += "]";
  }
  EXPECT_NE(json.out.find("\"groups\":[" + order + "]"), std::string::npos) << json.out << "\n" << text.out;
}

}  // namespace
}  // namespace e2e
