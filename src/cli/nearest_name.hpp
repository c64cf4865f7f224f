#pragma once
#include <string>
#include <vector>

// The name among names nearest to typed, leading dashes ignored on both
// sides, when it is near enough to be what was meant: at most one edit
// (a letter added, dropped, changed, or two neighbours swapped) per three
// letters of it, and at least one. "" when none is.
std::string nearestName(const std::string& typed, const std::vector<std::string>& names);
