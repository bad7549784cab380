// Cutting a text into pieces at any of a set of delimiter characters. Used by
// the configuration tools for role lists, restrict values, collector
// candidates and command-line edits. Pure function, thread-safe.
#pragma once

#include <string>
#include <vector>

// Appends to output the pieces of text separated by any character of
// delimiters. With includeBlanks off, empty pieces are skipped. With it on,
// the empty pieces before and between delimiters are appended too, while the
// piece after the last delimiter is appended only when it is not empty (so
// "a," gives one piece, ",a" two).
void split(const std::string& text, const std::string& delimiters, std::vector<std::string>& output,
           bool includeBlanks = false);
