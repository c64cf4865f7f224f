#pragma once
// One fuzzing step, shared by the libFuzzer target and the corpus replay test:
// arbitrary bytes are decoded as the tool decodes a file, and whatever
// decodes runs through the whole pipeline of each engine, exact and fast.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// Largest side of the picture the pipeline sees; larger decoded pictures are
// shrunk first so that one input takes milliseconds.
constexpr int kMaxSide = 128;

// Decodes the bytes and, when they decode, runs both engines on them. Returns
// an empty string when the bytes were refused cleanly or processed into
// results of the right size, type and range; otherwise what went wrong.
// Exceptions other than the decoder's refusal propagate.
std::string processBytes(const std::uint8_t* data, std::size_t size);

}  // namespace fuzzing
