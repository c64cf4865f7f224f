#pragma once
// Telling whether an output would land on the input it is made from.
#include <string>
#include <vector>

// True when a and b name one file: the same device and inode when both exist
// (a hard or symbolic link, "./x", another case on a case-insensitive file
// system), else the same absolute path once "." and ".." and the links of its
// folders are resolved.
bool namesSameFile(const std::string& a, const std::string& b);

// Throws UsageError naming the first of outputs that names the same file as
// input: writing it would replace the input.
void refuseOutputsOverInput(const std::string& input, const std::vector<std::string>& outputs);
