#pragma once
#include <string>

// The path without the extension of its file name: the last dot of the name
// and what follows it ("pics/night.jpeg" -> "pics/night"). A name without a
// dot, or whose only dot begins it (".hidden"), has no extension; dots in
// folder names never count ("v1.2/shot" -> "v1.2/shot"). For an extension of
// three letters this removes the last four characters, as the tool always did.
std::string outputStemOf(const std::string& path);

// The output name the tool derives from an input path: outputStemOf(inputPath)
// followed by suffix. "pics/night.png" -> "pics/night_J.bmp", "night.jpeg" ->
// "night_J.bmp", "image" -> "image_J.bmp".
std::string derivedOutputPath(const std::string& inputPath, const std::string& suffix = "_J.bmp");

// The extension of the file name in path, dot included ("a/b.PNG" -> ".PNG"),
// or "" when the name has none.
std::string extensionOf(const std::string& path);

// extensionOf in lower case ("a/b.PNG" -> ".png"), for comparing kinds of file.
std::string lowerExtensionOf(const std::string& path);
