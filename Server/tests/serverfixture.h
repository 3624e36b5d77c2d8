#pragma once

// Small helpers shared by the server tests: a blocking HTTP client on loopback, a package
// builder (JPEG cells in stored .dat archives, photos, descriptor) and a log-in shortcut.

#include "serverprocess.h"

#include <QByteArray>
#include <QEventLoop>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <nlohmann/json.hpp>

#include <zip.h>

#include <vector>

namespace fixture {

using json = nlohmann::json;

struct Response {
    int status = 0; // 0: no HTTP answer (connection error)
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    json js() const { return json::parse(body.constBegin(), body.constEnd(), nullptr, false); }
    QString error() const {
        const json value = js();
        return value.is_object() && value.contains("error") && value["error"].is_string()
                   ? QString::fromStdString(value["error"].get<std::string>())
                   : QString();
    }
};

// Waits with a running event loop, so a server living in this thread keeps answering.
inline Response finish(QNetworkReply *reply) {
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Response response;
    response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    response.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        response.headers.insert(name.toLower(), value);
    reply->deleteLater();
    return response;
}

class Client {
public:
    explicit Client(QUrl base = {})
        : base(std::move(base)) {}

    Response send(const QByteArray &method, const QString &pathOrUrl, const QByteArray &body = {},
                  const QList<QPair<QByteArray, QByteArray>> &headers = {}) {
        const QUrl url = pathOrUrl.startsWith(QLatin1String("http"))
                             ? QUrl(pathOrUrl)
                             : base.resolved(QUrl(pathOrUrl));
        QNetworkRequest request(url);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        return finish(network.sendCustomRequest(request, method, body));
    }

    // An API call with the token header and, for a body, the JSON content type.
    Response api(const QByteArray &method, const QString &path, const QByteArray &token,
                 const QByteArray &body = {}) {
        QList<QPair<QByteArray, QByteArray>> headers{{"X-Api-token", token}};
        if (!body.isEmpty())
            headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
        return send(method, path, body, headers);
    }

    Response postForm(const QString &url, const QList<QPair<QByteArray, QByteArray>> &fields,
                      const QByteArray &file) {
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &[name, value] : fields) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QByteArray("form-data; name=\"" + name + "\""));
            part.setBody(value);
            multi->append(part);
        }
        QHttpPart filePart;
        filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QByteArray("form-data; name=\"file\""));
        filePart.setBody(file);
        multi->append(filePart);
        QNetworkReply *reply = network.post(QNetworkRequest(QUrl(url)), multi);
        multi->setParent(reply);
        return finish(reply);
    }

    // Uploads data as the presign reply says: raw PUT or multipart form POST.
    Response upload(const json &presigned, const QByteArray &data) {
        const QString url = QString::fromStdString(presigned["url"].get<std::string>());
        if (presigned["method"] == "PUT") {
            QList<QPair<QByteArray, QByteArray>> headers;
            for (const auto &[name, value] : presigned["headers"].items())
                headers.append({QByteArray::fromStdString(name),
                                QByteArray::fromStdString(value.get<std::string>())});
            return send("PUT", url, data, headers);
        }
        QList<QPair<QByteArray, QByteArray>> fields;
        for (const auto &[name, value] : presigned["data"].items())
            fields.append({QByteArray::fromStdString(name),
                           QByteArray::fromStdString(value.get<std::string>())});
        return postForm(url, fields, data);
    }

    QUrl base;
    QNetworkAccessManager network;
};

using tavrona::startServer;

inline QByteArray jpeg(int width, int height, const cv::Scalar &bgr) {
    cv::Mat image(height, width, CV_8UC3, bgr);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// A ZIP archive with stored entries, written the way the program's builder writes them.
inline QByteArray archive(const QList<QPair<QString, QByteArray>> &entries) {
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("a.dat")));
    int error = 0;
    zip_t *zip = zip_open(path.constData(), ZIP_CREATE | ZIP_EXCL, &error);
    if (!zip)
        return {};
    for (const auto &[name, data] : entries) {
        zip_source_t *source =
            zip_source_buffer(zip, data.constData(), zip_uint64_t(data.size()), 0);
        const zip_int64_t index =
            zip_file_add(zip, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            zip_discard(zip);
            return {};
        }
        zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    if (zip_close(zip) != 0)
        return {};
    QFile file(QString::fromLocal8Bit(path));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

inline QByteArray dump(const json &value) {
    return QByteArray::fromStdString(value.dump());
}

// Creates a container and uploads a part of side × side cells of 256 px (one textured cell
// repeated, in archives of 100) and its descriptor, presigned and uploaded through client;
// the container's id, or empty when a step failed.
inline QString uploadTiledScan(Client &client, const QByteArray &token, int side) {
    const QString container = QString::fromStdString(
        client.api("POST", QStringLiteral("/api/mireva/container/new"), token)
            .js()
            .value("container_id", ""));
    if (container.isEmpty())
        return {};
    cv::Mat cell(256, 256, CV_8UC3);
    cv::randu(cell, 0, 255);
    cv::GaussianBlur(cell, cell, cv::Size(0, 0), 2);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", cell, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    const QByteArray jpeg(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    auto put = [&](const QString &path, const QByteArray &data) {
        const Response presigned = client.api(
            "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
            dump({{"files", {path.toStdString()}}}));
        return presigned.status == 200 &&
               client.upload(presigned.js()["files"][0], data).status == 200;
    };
    json parts = json::array();
    QList<QPair<QString, QByteArray>> entries;
    int number = 0;
    for (int i = 0; i < side * side; ++i) {
        const QString name = QStringLiteral("%1.dat").arg(number, 5, 10, QLatin1Char('0'));
        entries.append({QStringLiteral("%1.jpg").arg(i), jpeg});
        parts.push_back({(i % side) * 256, (i / side) * 256,
                         QStringLiteral("%1/%2.jpg").arg(name).arg(i).toStdString()});
        if (entries.size() == 100 || i == side * side - 1) {
            if (!put(name, archive(entries)))
                return {};
            entries.clear();
            ++number;
        }
    }
    const json isd = {
        {"images",
         {{{"type", "stitched"}, {"width", side * 256}, {"height", side * 256}, {"parts", parts}}}},
        {"layout", "horizontal"},
        {"mpp", 0.25},
        {"version", "1.0"}};
    return put(QStringLiteral("scan.isd"), dump(isd)) ? container : QString();
}

} // namespace fixture
