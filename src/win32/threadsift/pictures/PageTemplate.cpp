#include <string>

#include "threadsift/pictures/PageTemplate.h"

namespace {

const char kOpen[] = "{{";
const char kClose[] = "}}";

const char* EscapeOf(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    default:
      return nullptr;
  }
}

void AppendEscaped(const std::string& text, std::string* out) {
  for (char c : text) {
    const char* escape = EscapeOf(c);
    if (escape != nullptr) {
      *out += escape;
    } else {
      *out += c;
    }
  }
}

// Fills in text[begin, end) whose names are looked up by valueOf.
template <typename ValueOf>
void FillPart(const std::string& text, size_t begin, size_t end, const ValueOf& valueOf, std::string* out) {
  while (begin < end) {
    size_t open = text.find(kOpen, begin);
    size_t close = open < end ? text.find(kClose, open) : std::string::npos;
    if (open >= end || close == std::string::npos || close >= end) {
      out->append(text, begin, end - begin);
      return;
    }
    out->append(text, begin, open - begin);
    const std::string* value = valueOf(text.substr(open + 2, close - open - 2));
    if (value != nullptr) AppendEscaped(*value, out);
    begin = close + 2;
  }
}

}  // namespace

std::string FillTemplate(const std::string& text, const TemplateValues& values) {
  auto pageValue = [&](const std::string& name) -> const std::string* {
    auto found = values.values.find(name);
    return found == values.values.end() ? nullptr : &found->second;
  };
  std::string out;
  const std::string start = kOpen + ("#" + values.list) + kClose;
  const std::string stop = kOpen + ("/" + values.list) + kClose;
  size_t listStart = text.find(start);
  size_t listStop = listStart == std::string::npos ? std::string::npos : text.find(stop, listStart);
  if (values.list.empty() || listStop == std::string::npos) {
    FillPart(text, 0, text.size(), pageValue, &out);
    return out;
  }
  FillPart(text, 0, listStart, pageValue, &out);
  size_t rowStart = listStart + start.size();
  for (const std::vector<std::string>& row : values.rows) {
    auto rowValue = [&](const std::string& name) -> const std::string* {
      for (size_t i = 0; i < values.fields.size() && i < row.size(); ++i) {
        if (values.fields[i] == name) return &row[i];
      }
      return pageValue(name);
    };
    FillPart(text, rowStart, listStop, rowValue, &out);
  }
  FillPart(text, listStop + stop.size(), text.size(), pageValue, &out);
  return out;
}

size_t XmlEscapedLength(const std::string& text) {
  size_t length = 0;
  for (char c : text) {
    const char* escape = EscapeOf(c);
    length += escape != nullptr ? std::char_traits<char>::length(escape) : 1;
  }
  return length;
}
