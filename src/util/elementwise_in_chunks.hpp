#pragma once
#include <opencv2/core.hpp>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

// Element-wise steps of the stages on all of OpenCV's threads, with the values
// one call over the whole matrix gives. A continuous matrix is seen as one
// flat row of elements (channels counted) and cut into chunks that start at
// multiples of kChunkAlignment elements. OpenCV's vector loops fuse multiply
// and add in some operations while their scalar tails do not, so a cut inside
// a row of arbitrary width changes bits; a cut at a multiple of the vector
// width leaves every element in the same kind of lane as in the whole row.
// Chunks are short, so that the temporaries of an expression over a chunk
// stay in the cache and in the allocator's reused memory.

// Consecutive flat indices [start, end) of elements, or of pixels.
struct Chunk {
    size_t start = 0;
    size_t end = 0;
    int length() const { return static_cast<int>(end - start); }
};

constexpr size_t kChunkAlignment = 256;
constexpr size_t kChunkLength = 16 * kChunkAlignment;

// Calls step(chunk) for consecutive chunks covering [0, count): every chunk
// but the last holds kChunkLength elements (or pixels). The chunks are dealt
// out in runs of at least 65536 to OpenCV's threads (cv::parallel_for_), so
// small counts stay on one thread. Steps must touch only their own chunk and
// must not start parallel work of their own.
void forEachChunk(size_t count, const std::function<void(const Chunk&)>& step);

// Elements [chunk.start, chunk.end) of a continuous matrix, channels counted
// as elements, as a one-row single-channel view of its pixels (no copy).
// Throws std::invalid_argument for a matrix that is not continuous or a chunk
// beyond its elements.
cv::Mat elementsOf(const cv::Mat& m, const Chunk& chunk);

// Pointer to element chunk.start of a continuous matrix whose elements are of
// type T (channels counted as elements). Throws as elementsOf does, and when
// T is not the size of the matrix's elements.
template <typename T>
T* chunkData(const cv::Mat& m, const Chunk& chunk) {
    if (m.elemSize1() != sizeof(T))
        throw std::invalid_argument("chunkData: element type differs from the matrix's depth");
    return reinterpret_cast<T*>(elementsOf(m, chunk).data);
}

// Pixels [chunk.start, chunk.end) of a continuous matrix as a one-row view with
// the matrix's channels (no copy). Throws as elementsOf does.
cv::Mat pixelsOf(const cv::Mat& m, const Chunk& chunk);

// The two expression helpers below evaluate OpenCV matrix expressions, whose
// bits depend on the instructions OpenCV picks at run time (fused multiply-add
// where the CPU has it). The stages compute their values with plain loops
// instead (exact_arithmetic.hpp); these are for work whose bits do not matter.

// Evaluates an OpenCV matrix expression into the pixels of view, which must
// have the expression's size and type (std::invalid_argument otherwise). The
// expression may read view itself: every step is element by element.
void assignInto(const cv::Mat& view, const cv::MatExpr& value);

// dst = expression, chunk by chunk over the elements of dst, which must be
// allocated, continuous and of the expression's type. expression(chunk)
// builds the expression from elementsOf(operand, chunk) of its operands (and
// may read dst's own chunk).
void evaluateInChunks(const cv::Mat& dst,
                      const std::function<cv::MatExpr(const Chunk&)>& expression);

// The matrix itself when it is continuous, otherwise a continuous copy.
cv::Mat continuous(const cv::Mat& m);

// src converted to the given depth as cv::Mat::convertTo with scale 1 and
// offset 0 converts it (rounded and saturated for integer depths), as a new
// continuous matrix. src may be a view. Doubles to 8 bits round as
// roundToByte does (exact_arithmetic.hpp): values beyond the int range
// saturate rather than wrap as OpenCV's x86 conversion does.
cv::Mat convertedInChunks(const cv::Mat& src, int depth);

// The planes of a multi-channel image (cv::split), as new continuous matrices.
std::vector<cv::Mat> splitInChunks(const cv::Mat& image);

// A new image of the given size and type whose plane k, over every chunk of
// pixels, is planeChunk(k, chunk): a one-row matrix of chunk.length() pixels
// of the image's depth (cv::merge per chunk).
cv::Mat mergedInChunks(cv::Size size, int type,
                       const std::function<cv::Mat(int, const Chunk&)>& planeChunk);

// cv::merge of continuous single-channel planes of one size and depth.
cv::Mat mergeInChunks(const std::vector<cv::Mat>& planes);

}  // namespace nightdehaze::detail
