#include "core/runtime/elementwise_in_chunks.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

namespace {

constexpr size_t kMinimumShare = size_t{1} << 16;  // less work costs more to share than it saves
constexpr size_t kMaximumShare = size_t{1} << 30;  // keeps the number of shares an int
constexpr size_t kSharesPerThread = 4;             // evens out threads slowed by other work

// Elements of one thread's task: a whole number of chunks.
size_t shareLength(size_t count) {
    const size_t threads = static_cast<size_t>(std::max(1, cv::getNumThreads()));
    const size_t share = count / (kSharesPerThread * threads);
    const size_t whole = (share + kChunkLength - 1) / kChunkLength * kChunkLength;
    return std::min(kMaximumShare, std::max(kMinimumShare, whole));
}

void checkChunkOf(const char* who, const cv::Mat& m, size_t count, const Chunk& chunk) {
    if (!m.isContinuous())
        throw std::invalid_argument(std::string(who) + ": the matrix is not continuous");
    if (chunk.start > chunk.end || chunk.end > count)
        throw std::invalid_argument(std::string(who) + ": the chunk lies beyond the matrix");
}

}  // namespace

void forEachChunk(size_t count, const std::function<void(const Chunk&)>& step) {
    if (count == 0) return;
    const size_t length = shareLength(count);
    const int shares = static_cast<int>((count + length - 1) / length);
    cv::parallel_for_(cv::Range(0, shares), [&](const cv::Range& range) {
        const size_t end = std::min(count, static_cast<size_t>(range.end) * length);
        for (size_t start = static_cast<size_t>(range.start) * length; start < end;
             start += kChunkLength)
            step(Chunk{start, std::min(end, start + kChunkLength)});
    });
}

cv::Mat elementsOf(const cv::Mat& m, const Chunk& chunk) {
    checkChunkOf("elementsOf", m, m.total() * m.channels(), chunk);
    return cv::Mat(1, chunk.length(), CV_MAKETYPE(m.depth(), 1),
                   m.data + chunk.start * m.elemSize1());
}

cv::Mat pixelsOf(const cv::Mat& m, const Chunk& chunk) {
    checkChunkOf("pixelsOf", m, m.total(), chunk);
    return cv::Mat(1, chunk.length(), m.type(), m.data + chunk.start * m.elemSize());
}

cv::Mat continuous(const cv::Mat& m) { return m.isContinuous() ? m : m.clone(); }

std::vector<cv::Mat> splitInChunks(const cv::Mat& image) {
    const cv::Mat source = continuous(image);
    std::vector<cv::Mat> planes(source.channels());
    for (cv::Mat& plane : planes) plane.create(source.size(), source.depth());
    forEachChunk(source.total(), [&](const Chunk& chunk) {
        std::vector<cv::Mat> views;
        for (const cv::Mat& plane : planes) views.push_back(pixelsOf(plane, chunk));
        cv::split(pixelsOf(source, chunk), views.data());
    });
    return planes;
}

cv::Mat mergedInChunks(cv::Size size, int type,
                       const std::function<cv::Mat(int, const Chunk&)>& planeChunk) {
    cv::Mat image(size, type);
    forEachChunk(image.total(), [&](const Chunk& chunk) {
        std::vector<cv::Mat> planes;
        for (int k = 0; k < image.channels(); ++k) planes.push_back(planeChunk(k, chunk));
        cv::merge(planes, pixelsOf(image, chunk));
    });
    return image;
}

cv::Mat mergeInChunks(const std::vector<cv::Mat>& planes) {
    const int type = CV_MAKETYPE(planes.at(0).depth(), static_cast<int>(planes.size()));
    return mergedInChunks(planes.at(0).size(), type, [&](int k, const Chunk& chunk) {
        return pixelsOf(planes[k], chunk);
    });
}

}  // namespace nightdehaze::detail
