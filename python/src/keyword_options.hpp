#pragma once
// The package's keyword arguments as the files layer's Options, through the
// one declaration of every option.
#include "files/options.hpp"

#include <map>
#include <string>

namespace nightdehaze_python {

// Options with each keyword applied as its declaration applies the command
// line's text for it ("" for a flag that is on). Throws pybind11's TypeError
// for a keyword that caller (one of the surfaces, kPythonArrays or
// kPythonFiles) does not take, UsageError for a value out of range and,
// when refuseConflicts, ValueError for options that do not combine.
nightdehaze::files::Options keywordOptions(const std::map<std::string, std::string>& keywords, unsigned surface,
                       const char* caller, bool refuseConflicts = true);

}  // namespace nightdehaze_python
