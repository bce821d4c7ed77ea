#ifndef THREADSIFT_UTF8_TEXT_H
#define THREADSIFT_UTF8_TEXT_H

#include <windows.h>

#include <string>

// Text of the examined process in UTF-8, for the -j report, and its UTF-16
// text in the ANSI code page, for the text report. Nothing it hands over is
// trusted to be well formed.

// UTF-16 text of the examined process: an image name as the system
// snapshot gives it, an object's name.
typedef std::basic_string<WCHAR> ImageText;

// Text in the ANSI code page (names, paths and symbols as the "A" routines
// give them), converted by the platform. When the platform cannot convert
// it, the bytes are kept as they are: the report's writer replaces every
// sequence that is not UTF-8.
std::string Utf8FromAnsi(const char* text);

// UTF-16 text as text of the ANSI code page, as the platform converts it
// (a character the code page lacks becomes its default character), for
// the text report: the run-time's own conversion of UTF-16 text stops at
// the first such character. Empty when the platform converts nothing.
std::string AnsiFromWide(const WCHAR* text, size_t length);

// UTF-16 text of the examined process (a thread's name, a window's class,
// an object's name) as a line of the text report shows it: in the ANSI
// code page, each control character a question mark, since a line break
// in it would end the line for every reader of the report.
std::string LineTextFromWide(const WCHAR* text, size_t length);

// UTF-16 text (the image names of the system snapshot); a surrogate without
// its partner becomes U+FFFD.
std::string Utf8FromWide(const WCHAR* text, size_t length);

#endif
