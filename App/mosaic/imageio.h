#pragma once

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

#include <span>

// Image files are read and written through QFile and coded in memory by OpenCV, so any path Qt
// can open works. Failures are logged as warnings and give an empty image or false; nothing
// throws. Files hold B, G, R order (OpenCV's codecs); the caller swaps channels if needed.

// Decodes the file as an 8-bit 3-channel image; empty on failure.
cv::Mat loadImage(QString path);

// Encodes by the path's suffix (case-insensitive: ".JPG" writes JPEG) and writes the file.
bool saveImage(cv::Mat image, QString path);

// Encodes in memory by a file suffix such as "jpg" (case-insensitive); empty on failure.
QByteArray encodeImage(const cv::Mat &image, const QString &suffix);

// Moves the content by (dx, dy) pixels: output (x, y) takes the input at (x - dx, y - dy),
// bicubic, replicated border, same size; exactly what warpAffine gives for that translation.
// target must not share source's pixels; it is reused when it has the right size and type.
void shiftImage(const cv::Mat &source, cv::Mat &target, double dx, double dy);
// The same in place.
void shiftImage(cv::Mat &image, double dx, double dy);

// Drops the buffer when its pixels are also held elsewhere (a published image, a camera frame),
// so that writing into it afterwards cannot reach them; keeps it for reuse otherwise.
void ownPixels(cv::Mat &buffer);

// A buffer of the given size and type from the pool that nothing outside the pool holds any
// more, or, when every one is still held, a new one that takes the place of the oldest. Lets a
// producer publish a new image each time without allocating (and faulting in) a new one.
cv::Mat reusableBuffer(std::span<cv::Mat> pool, cv::Size size, int type);
