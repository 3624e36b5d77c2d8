#pragma once

#include <opencv2/core.hpp>

// Moves the luma of every pixel of an 8-bit RGB image by a per-pixel amount and keeps its
// chroma, in place and in one pass: with Y = (4899 R + 9617 G + 1868 B + 8192) >> 14 (the luma
// of OpenCV's RGB to YUV), the new luma Y' = clamp(Y + shift, 0, 255), and each channel moves by
// Y' - Y, clamped to 0-255. shift is of the image's size, CV_16S or (half the memory to read)
// CV_8S.
void shiftLuma(cv::Mat &rgb, const cv::Mat &shift);
