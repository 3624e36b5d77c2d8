#include "mosaic/imageio.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

cv::Mat loadImage(QString path) {
    if (path.isEmpty()) {
        qWarning() << "Cannot load image: path is empty";
        return {};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Failed to open file for reading:" << path;
        return {};
    }
    const QByteArray bytes = file.readAll();
    file.close();
    if (bytes.isEmpty()) {
        qWarning() << "File is empty:" << path;
        return {};
    }
    // A header-only view of the bytes: imdecode only reads them.
    const cv::Mat raw(1, int(bytes.size()), CV_8UC1, const_cast<char *>(bytes.constData()));
    cv::Mat image;
    try {
        image = cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        // Some codecs throw on malformed data instead of returning nothing.
        image.release();
    }
    if (image.empty()) {
        qWarning() << "Failed to decode image:" << path;
        return {};
    }
    return image;
}

QByteArray encodeImage(const cv::Mat &image, const QString &suffix) {
    if (image.empty()) {
        qWarning() << "Cannot save empty image";
        return {};
    }
    const QString extension = "." + suffix.toLower();
    std::vector<uchar> encoded;
    bool encodedOk = false;
    try {
        encodedOk = cv::imencode(extension.toStdString(), image, encoded);
    } catch (const cv::Exception &) {
        // An unknown suffix or an unsupported depth throws from imencode.
        encodedOk = false;
    }
    if (!encodedOk || encoded.empty()) {
        qWarning() << "Failed to encode image";
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(encoded.data()), qsizetype(encoded.size()));
}

bool saveImage(cv::Mat image, QString path) {
    const QByteArray encoded = encodeImage(image, QFileInfo(path).suffix());
    if (encoded.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "Failed to open file for writing:" << path;
        return false;
    }
    const qint64 written = file.write(encoded);
    file.close();
    if (written != encoded.size()) {
        qWarning() << "Failed to write complete image data";
        // A cut-off file may still decode as a damaged picture later; leave none behind.
        file.remove();
        return false;
    }
    return true;
}
