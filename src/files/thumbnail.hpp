#pragma once
// Small previews of pictures, for reports.
#include <opencv2/core.hpp>

#include <string>
#include <vector>

// The picture at path as readPictureFile reads it, shrunk (area averaging) so
// that its longer side is at most maxSide pixels (a smaller one is kept),
// encoded as a JPEG of quality 85. Throws FileError as readPictureFile does.
std::vector<uchar> thumbnailJpeg(const std::string& path, int maxSide);
