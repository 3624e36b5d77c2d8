#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Image files are read and written through QFile and coded in memory by OpenCV, so any path Qt
// can open works. Failures are logged as warnings and give an empty image or false; nothing
// throws. Files hold B, G, R order (OpenCV's codecs); the caller swaps channels if needed.

// Decodes the file as an 8-bit 3-channel image; empty on failure.
cv::Mat loadImage(QString path);

// Encodes by the path's suffix (case-insensitive: ".JPG" writes JPEG) and writes the file.
bool saveImage(cv::Mat image, QString path);

// Moves the content by (dx, dy) pixels in place: output (x, y) takes the input at
// (x - dx, y - dy), bicubic, replicated border, same size.
void shiftImage(cv::Mat &image, double dx, double dy);
