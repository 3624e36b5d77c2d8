#include "camera/vignettingprofile.h"

#include "camera/lumashift.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>

namespace {
QString defaultPath() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    return QDir(dir).filePath(QStringLiteral("vignetting_profile.xml"));
}
} // namespace

VignettingProfile::VignettingProfile()
    : VignettingProfile(defaultPath()) {}

VignettingProfile::VignettingProfile(const QString &path)
    : path(path) {
    qDebug() << "vignetting profile path is " << path;
    load();
}

void VignettingProfile::load() {
    if (!QFile::exists(path))
        return;
    // A damaged file must not keep the program from starting: it only means there is no
    // profile until a new one is generated.
    try {
        cv::FileStorage storage(path.toStdString(), cv::FileStorage::READ);
        cv::Mat stored;
        storage["mask"] >> stored;
        if (!stored.empty() && stored.channels() != 1) {
            qWarning() << "Ignoring vignetting profile with" << stored.channels() << "channels"
                       << path;
            return;
        }
        // The file holds the profile at full strength; a loaded profile corrects by half.
        stored.convertTo(mask, CV_16S, 0.5);
    } catch (const cv::Exception &e) {
        qWarning() << "Failed to load vignetting profile" << path << e.what();
        mask = cv::Mat();
    }
    makeLevelShift();
}

void VignettingProfile::makeLevelShift() {
    // What the correction adds to each pixel's luma, made once so that every frame takes one
    // pass; in bytes where the profile allows, as a frame's worth of them reads in half the time.
    if (mask.empty()) {
        levelShift.release();
        return;
    }
    double lowest = 0., highest = 0.;
    cv::minMaxLoc(mask, &lowest, &highest);
    mask.convertTo(levelShift, lowest >= -127 && highest <= 127 ? CV_8S : CV_16S, -1.);
}

void VignettingProfile::startGeneration(cv::Size size) {
    accumulator = cv::Mat::zeros(size, CV_32F);
    totalWeight = 0.;
    previousFrame = cv::Mat();
}

void VignettingProfile::addFrame(const cv::Mat &frame) {
    cv::Mat current;
    frame.convertTo(current, CV_32FC3);
    if (!previousFrame.empty()) {
        cv::Mat difference;
        cv::subtract(current, previousFrame, difference);
        cv::multiply(difference, difference, difference);
        const cv::Scalar m = cv::mean(difference);
        // Frames taken while the slide moves differ most, so they dominate the average.
        const double weight = (m[0] + m[1] + m[2]) / 3.;

        cv::Mat yuv;
        cv::cvtColor(current, yuv, cv::COLOR_RGB2YUV);
        cv::extractChannel(yuv, luma, 0);
        cv::scaleAdd(luma, weight, accumulator, accumulator);
        totalWeight += weight;
    }
    previousFrame = current;
}

bool VignettingProfile::isComplete() const {
    return totalWeight >= completeWeight;
}

double VignettingProfile::progress() const {
    return totalWeight / completeWeight;
}

cv::Size VignettingProfile::blurKernelSize(cv::Size frameSize) {
    int width = frameSize.width / 8;
    int height = frameSize.height / 8;
    if (width % 2 == 0)
        ++width;
    if (height % 2 == 0)
        ++height;
    return {width, height};
}

void VignettingProfile::finishGeneration() {
    cv::Mat average = accumulator / totalWeight;
    average -= cv::mean(average)[0];
    cv::GaussianBlur(average, average, blurKernelSize(average.size()), 0, 0, cv::BORDER_DEFAULT);
    average.convertTo(mask, CV_16S, 1.);
    makeLevelShift();

    cv::FileStorage storage(path.toStdString(),
                            cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    storage << "mask" << mask;
    storage.release();
}

void VignettingProfile::apply(cv::Mat &frame) {
    CV_Assert(frame.type() == CV_8UC3 && mask.type() == CV_16SC1 && frame.size() == mask.size());
    // The luma drops where the optics are brighter than average and rises where they are
    // darker; chroma is untouched, so colours keep their hue while brightness is levelled.
    shiftLuma(frame, levelShift);
}
