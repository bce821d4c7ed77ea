#ifndef THREADSIFT_XML_TEXT_H
#define THREADSIFT_XML_TEXT_H

#include <string>

// Text of the examined process, meant as UTF-8, made fit to stand in an
// XML document (the escaping of markup is the template's): each sequence
// that is not UTF-8, and each character XML forbids (surrogates, U+FFFE,
// U+FFFF), becomes U+FFFD, and each control character a question mark.
std::string XmlText(const std::string& text);

// The number of characters (code points) in well-formed UTF-8 text.
size_t CharacterCount(const std::string& text);

// The first `count` characters of well-formed UTF-8 text.
std::string FirstCharacters(const std::string& text, size_t count);

#endif
