#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Flat-field profile of the microscope optics: how much brighter than the frame average each
// pixel is, in 8-bit luma units. Frames taken while the slide moves are averaged so that the
// specimen blurs away and only the optics' brightness pattern stays. Lives in the camera thread.
class VignettingProfile {
public:
    // Loads "vignetting_profile.xml" from the application's local data folder, if it exists.
    VignettingProfile();
    // Same, with the profile file given by the caller.
    explicit VignettingProfile(const QString &path);

    void startGeneration(cv::Size size);
    // Accumulates one 8-bit RGB frame of the size given to startGeneration().
    void addFrame(const cv::Mat &frame);
    bool isComplete() const;
    double progress() const;
    // Size the running accumulation expects (empty before the first startGeneration()).
    cv::Size generationSize() const { return accumulator.size(); }
    // Computes the profile from what was accumulated, uses it at once and writes the file.
    void finishGeneration();
    // Levels the brightness of an 8-bit RGB frame of exactly the profile's size, in place: each
    // pixel's luma (as RGB to YUV computes it) is lowered by the profile's value, clamped to
    // 0-255, and its three channels move by the same amount, so that chroma is kept.
    void apply(cv::Mat &frame);

    // The profile in use: CV_16S, frame size, or empty when there is none.
    const cv::Mat &profile() const { return mask; }
    QString filePath() const { return path; }

    // Gaussian kernel used to smooth a finished profile: an eighth of the frame, made odd.
    static cv::Size blurKernelSize(cv::Size frameSize);
    // Total weight at which an accumulation is complete.
    static constexpr double completeWeight = 100000.0;

private:
    void load();
    void makeLevelShift();

    cv::Mat mask;
    cv::Mat levelShift; // minus the profile: what each pixel's luma gets added
    cv::Mat luma;
    double totalWeight = 0.;
    cv::Mat accumulator;
    cv::Mat previousFrame;
    QString path;
};
