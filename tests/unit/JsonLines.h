// Reading threadsift's -j report against its text report of the same
// machine: every line must parse, and together they must say exactly what
// the text says, field by field. Shared by the unit tests and the process
// fuzz target (no GoogleTest here).
#ifndef TESTS_UNIT_JSON_LINES_H
#define TESTS_UNIT_JSON_LINES_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "simwin_api.h"

// The lines of a -j run, parsed; false with *problem set when a line does
// not parse (or the output does not end with a line end).
bool ParseJsonLines(const std::string& out, std::vector<nlohmann::ordered_json>* lines, std::string* problem);

// Empty when json (the output of a -j run) says what text (the output of
// the same run without -j, on the same simulated machine, whose tool runs
// as process selfPid) says; otherwise where they first part.
std::string CompareJsonWithText(const std::string& json, const std::string& text, DWORD selfPid = 4000);

// Text of the ANSI code page (ISO 8859-1 on the simulated machine) back
// from its UTF-8 in the report.
std::string AnsiFromUtf8(const std::string& text);

#endif
