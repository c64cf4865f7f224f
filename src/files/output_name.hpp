#pragma once
#include <string>

namespace nightdehaze::files {

// The output name the tool derives from an input path: the path without its
// last four characters (all of it when shorter), followed by suffix. The rule
// is positional: "pics/night.png" -> "pics/night_J.bmp", "night.jpeg" ->
// "night._J.bmp", "abc" -> "abc_J.bmp".
std::string derivedOutputPath(const std::string& inputPath, const std::string& suffix = "_J.bmp");

// The extension of the file name in path, dot included ("a/b.PNG" -> ".PNG"),
// or "" when the name has none.
std::string extensionOf(const std::string& path);

// extensionOf in lower case ("a/b.PNG" -> ".png"), for comparing kinds of file.
std::string lowerExtensionOf(const std::string& path);

}  // namespace nightdehaze::files
