#pragma once

// A stand-in for a stained slide under the microscope: coloured detail at many scales, from
// cell-sized blobs to single-pixel grain, so that phase correlation has real structure to lock
// on. Frames are cut from it at sub-pixel positions, which gives the ground truth of a tour.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace slidetexture {

// RGB 8-bit texture of the given size; the same seed gives the same texture.
inline cv::Mat make(cv::Size size, int seed = 1) {
    cv::RNG rng{uint64(seed) * 7919u + 17u};
    cv::Mat field[3];
    for (cv::Mat &channel : field)
        channel = cv::Mat::zeros(size, CV_32F);
    // Octaves from coarse to fine; each is low-resolution noise enlarged smoothly.
    const double cellPx[] = {160, 48, 16, 6, 2};
    const double amplitude[] = {1.0, 0.8, 0.6, 0.35, 0.15};
    for (int octave = 0; octave < 5; ++octave) {
        const cv::Size coarse(std::max(2, int(size.width / cellPx[octave]) + 2),
                              std::max(2, int(size.height / cellPx[octave]) + 2));
        for (cv::Mat &channel : field) {
            cv::Mat noise(coarse, CV_32F);
            rng.fill(noise, cv::RNG::UNIFORM, -1.f, 1.f);
            cv::Mat smooth;
            cv::resize(noise, smooth, size, 0, 0, cv::INTER_CUBIC);
            channel += smooth * amplitude[octave];
        }
    }
    // Stain-like colours: a pink ground with purple nuclei where the first field peaks.
    cv::Mat rgb(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        const float *a = field[0].ptr<float>(y);
        const float *b = field[1].ptr<float>(y);
        const float *c = field[2].ptr<float>(y);
        cv::Vec3b *out = rgb.ptr<cv::Vec3b>(y);
        for (int x = 0; x < size.width; ++x) {
            const float nucleus = std::max(0.f, a[x]);
            const float r = 215 - 90 * nucleus + 25 * b[x];
            const float g = 160 - 110 * nucleus + 30 * c[x];
            const float bl = 200 - 40 * nucleus + 20 * (b[x] - c[x]);
            out[x] = cv::Vec3b(cv::saturate_cast<uchar>(r), cv::saturate_cast<uchar>(g),
                               cv::saturate_cast<uchar>(bl));
        }
    }
    return rgb;
}

// The frame whose pixel (u, v) shows texture point (position.x + u, position.y + v).
inline cv::Mat cut(const cv::Mat &texture, cv::Point2d position, cv::Size size) {
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, -position.x, 0, 1, -position.y);
    cv::Mat frame;
    cv::warpAffine(texture, frame, transform, size, cv::INTER_CUBIC, cv::BORDER_REFLECT);
    return frame;
}

// A hand-driven tour: a meander with speed that rises and falls, sub-pixel positions, and
// steps of up to about 18 px per frame, staying inside the texture.
inline std::vector<cv::Point2d> tour(int frames, cv::Size texture, cv::Size frame, int seed = 3) {
    cv::RNG rng{uint64(seed)};
    std::vector<cv::Point2d> positions;
    const double margin = 40;
    const double minX = margin, maxX = texture.width - frame.width - margin;
    const double minY = margin, maxY = texture.height - frame.height - margin;
    cv::Point2d p(minX + 0.37, minY + 0.61);
    double direction = 1.0;
    double phase = 0;
    for (int i = 0; i < frames; ++i) {
        positions.push_back(p);
        phase += 0.11;
        const double speed = 6.0 + 6.0 * std::sin(phase) + rng.uniform(0.0, 6.0);
        p.x += direction * speed;
        p.y += 1.5 * std::sin(phase * 0.7) + rng.uniform(-0.8, 0.8);
        if (p.x > maxX || p.x < minX) {
            direction = -direction;
            p.x = std::clamp(p.x, minX, maxX);
            p.y += 60 + rng.uniform(0.0, 0.99);
        }
        p.y = std::clamp(p.y, minY, maxY);
    }
    return positions;
}

} // namespace slidetexture
