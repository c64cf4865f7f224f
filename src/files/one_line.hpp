#pragma once
#include <string>

namespace nightdehaze::files {

// A message as one line, the way the tool and the Python package report a
// failure: line breaks (library messages may hold some) become spaces, and
// trailing spaces go.
inline std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace nightdehaze::files
