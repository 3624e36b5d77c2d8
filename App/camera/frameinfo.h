#pragma once

#include "shell/metatypes.h"

#include <QMetaType>

#include <opencv2/core.hpp>

// One published camera frame. Copies share pixel storage; every published FrameInfo holds
// matrices freshly allocated for that frame, which nobody writes afterwards.
struct FrameInfo {
    cv::Mat image;         // full resolution, 8-bit RGB (after vignetting correction if any)
    cv::Mat smallImage;    // image scaled down to fit 768 x 768 (never enlarged)
    double sharpness = 0.; // sharpness measure of smallImage
    // Which frame step of the camera published it (1, 2, ...; 0 for frames made elsewhere), and
    // when, in nanoseconds of the monotonic clock: the live builder counts what it missed and
    // the latency to its view from these.
    quint64 sequence = 0;
    qint64 publishedNs = 0;
};

Q_DECLARE_METATYPE(FrameInfo)
