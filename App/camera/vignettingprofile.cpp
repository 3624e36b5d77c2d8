#include "camera/vignettingprofile.h"

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

    cv::FileStorage storage(path.toStdString(),
                            cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    storage << "mask" << mask;
    storage.release();
}

void VignettingProfile::apply(cv::Mat &frame) {
    // A frame of another size or kind would fail half-way, with the frame already in YUV.
    CV_Assert(frame.type() == CV_8UC3 && mask.type() == CV_16SC1 && frame.size() == mask.size());
    // Chroma is untouched, so colours keep their hue while brightness is levelled.
    cv::cvtColor(frame, frame, cv::COLOR_RGB2YUV);
    cv::extractChannel(frame, luma, 0);
    cv::subtract(luma, mask, luma, cv::noArray(), CV_8U);
    cv::insertChannel(luma, frame, 0);
    cv::cvtColor(frame, frame, cv::COLOR_YUV2RGB);
}
