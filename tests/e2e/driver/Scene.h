// A fixture program that tells its threads on standard output.
#pragma once

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Settings.h"
#include "WineProcess.h"

namespace e2e {

// A program started with an open standard input that has printed its lines
// up to `last`; it ends when the input closes.
class Scene {
 public:
  Scene(const std::string& program, const std::string& last, const Environment& environment = {},
        const std::vector<std::string>& args = {})
      : process_(program, args, Pipes{true, 0}, environment) {
    ready_ = WaitFor(last, Patience(milliseconds(60000)));
  }
  ~Scene() { process_.CloseInput(); }
  bool Ready() const { return ready_; }
  // Reads on until the program prints the line; false when it does not in time.
  bool WaitFor(const std::string& last, milliseconds timeout) {
    while (std::optional<std::string> line = process_.ReadLine(timeout)) {
      std::string text = *line;
      if (!text.empty() && text.back() == '\r') text.pop_back();
      lines_.push_back(text);
      if (text == last) return true;
    }
    return false;
  }
  // The words of every line that starts with the word.
  std::vector<std::vector<std::string>> Lines(const std::string& word) const {
    std::vector<std::vector<std::string>> found;
    for (const std::string& line : lines_) {
      std::istringstream in(line);
      std::vector<std::string> words;
      for (std::string w; in >> w;) words.push_back(w);
      if (!words.empty() && words[0] == word) found.push_back(words);
    }
    return found;
  }

 private:
  WineProcess process_;
  std::vector<std::string> lines_;
  bool ready_ = false;
};

}  // namespace e2e
