#ifndef THREADSIFT_PAGE_TEMPLATE_H
#define THREADSIFT_PAGE_TEMPLATE_H

#include <map>
#include <string>
#include <vector>

// What a page template is filled in with: "{{name}}" stands for values[name]
// (nothing when it has none), and the text between "{{#<list>}}" and
// "{{/<list>}}" is repeated once a row, its own "{{name}}" standing for the
// row's value at the place of name in fields. Every value is escaped for
// XML (&, <, >, " and '): text of the examined process is never markup.
struct TemplateValues {
  std::map<std::string, std::string> values;
  std::string list;
  std::vector<std::string> fields;
  std::vector<std::vector<std::string>> rows;
};

// The page. The run-time's string streams are not used: their locale, once
// linked in, keeps the 32-bit build from starting under Wine.
std::string FillTemplate(const std::string& text, const TemplateValues& values);

// The length of the text once FillTemplate has escaped it.
size_t XmlEscapedLength(const std::string& text);

#endif
