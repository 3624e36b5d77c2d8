// Reuse of large image buffers that may have been handed to other threads.

#include "mosaic/imageio.h"

#include <algorithm>

namespace {

// Headers of one buffer share one count, and it can only rise through a header held here, so
// a count of one stays one while this thread looks at it.
bool onlyHeldHere(const cv::Mat &buffer) {
    return buffer.u && CV_XADD(&buffer.u->refcount, 0) == 1;
}

} // namespace

void ownPixels(cv::Mat &buffer) {
    if (!buffer.empty() && !onlyHeldHere(buffer))
        buffer.release();
}

cv::Mat reusableBuffer(std::span<cv::Mat> pool, cv::Size size, int type) {
    CV_Assert(!pool.empty());
    // The front is the least recently handed out; what is handed out moves to the back.
    const auto handOut = [&](cv::Mat *slot) {
        std::rotate(slot, slot + 1, pool.data() + pool.size());
        return pool.back();
    };
    for (cv::Mat &buffer : pool)
        if (onlyHeldHere(buffer) && buffer.size() == size && buffer.type() == type)
            return handOut(&buffer);
    for (cv::Mat &buffer : pool)
        if (buffer.empty() || onlyHeldHere(buffer)) {
            buffer.create(size, type);
            return handOut(&buffer);
        }
    // Every one is still held elsewhere: the oldest is left to its holders.
    pool.front() = cv::Mat(size, type);
    return handOut(&pool.front());
}
