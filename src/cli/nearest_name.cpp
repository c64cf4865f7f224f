#include "cli/nearest_name.hpp"

#include <algorithm>
#include <climits>

namespace {

std::string withoutDashes(const std::string& name) {
    const size_t start = name.find_first_not_of('-');
    return start == std::string::npos ? "" : name.substr(start);
}

// Edits from a to b: insertions, deletions, substitutions and swaps of two
// neighbouring letters ("fats" -> "fast" is one).
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string nearestName(const std::string& typed, const std::vector<std::string>& names) {
    const std::string bare = withoutDashes(typed);
    std::string nearest;
    size_t best = SIZE_MAX;
    for (const std::string& name : names) {
        const std::string candidate = withoutDashes(name);
        const size_t distance = editDistance(bare, candidate);
        if (distance <= std::max<size_t>(1, candidate.size() / 3) && distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}
