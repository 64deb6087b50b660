#pragma once

#include <string>

// The sync driver's line protocol splits at blanks, so blanks inside a path
// travel as "%20". Free functions; any thread.
inline std::string EscapeBlanks(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

inline std::string UnescapeBlanks(const std::string& word) {
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word.compare(i, 3, "%20") == 0) {
      out += ' ';
      i += 2;
    } else {
      out += word[i];
    }
  }
  return out;
}
