#pragma once
#include <opencv2/core.hpp>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

// Element-wise steps of the stages on all of OpenCV's threads. A continuous
// matrix is seen as one flat row of elements (channels counted) and cut into
// chunks that start at multiples of kChunkAlignment elements, so that a
// chunk's loop starts where a whole-row vector loop would (the same kind of
// lane for every element). Chunks are short, so that what a step reads and
// writes stays in the cache.

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

// The matrix itself when it is continuous, otherwise a continuous copy.
cv::Mat continuous(const cv::Mat& m);

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
