#include "scandescriptor.h"

#include "storage.h"

#include <nlohmann/json.hpp>

namespace tavrona {

namespace {

using json = nlohmann::json;

bool readInt(const json &value, qint64 lo, qint64 hi, int *out) {
    if (value.is_number_integer()) {
        const auto v = value.get<qint64>();
        if (v < lo || v > hi)
            return false;
        *out = int(v);
        return true;
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (v != double(qint64(v)) || v < double(lo) || v > double(hi))
            return false;
        *out = int(v);
        return true;
    }
    return false;
}

} // namespace

bool parseScanDescriptor(const QByteArray &text, ScanDescriptor *out, QString *error) {
    const json doc = json::parse(text.constBegin(), text.constEnd(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        *error = QStringLiteral("scan.isd is not a JSON object");
        return false;
    }
    const auto images = doc.find("images");
    if (images == doc.end() || !images->is_array()) {
        *error = QStringLiteral("scan.isd has no \"images\" array");
        return false;
    }
    for (const char *key : {"mpp", "magnification"}) {
        const auto it = doc.find(key);
        if (it != doc.end() && !it->is_number()) {
            *error = QStringLiteral("scan.isd: \"%1\" is not a number").arg(QLatin1String(key));
            return false;
        }
    }
    ScanDescriptor descriptor;
    if (doc.contains("mpp"))
        descriptor.mpp = doc["mpp"].get<double>();
    if (doc.contains("magnification"))
        descriptor.magnification = doc["magnification"].get<double>();

    int index = 0;
    for (const json &image : *images) {
        const QString where = QStringLiteral("scan.isd: image %1").arg(index++);
        if (!image.is_object() || !image.contains("type") || !image["type"].is_string()) {
            *error = where + QStringLiteral(" has no \"type\"");
            return false;
        }
        const std::string type = image["type"].get<std::string>();
        ScanImage entry;
        if (type == "stitched") {
            entry.type = ScanImage::Type::Stitched;
            if (!image.contains("width") || !image.contains("height") ||
                !readInt(image["width"], 1, maxStitchedSidePx, &entry.width) ||
                !readInt(image["height"], 1, maxStitchedSidePx, &entry.height)) {
                *error = where + QStringLiteral(" needs a positive whole \"width\" and \"height\"");
                return false;
            }
            const auto parts = image.find("parts");
            if (parts == image.end() || !parts->is_array()) {
                *error = where + QStringLiteral(" has no \"parts\" array");
                return false;
            }
            for (const json &part : *parts) {
                StitchedCell cell;
                if (!part.is_array() || part.size() != 3 ||
                    !readInt(part[0], 0, maxStitchedSidePx, &cell.x) ||
                    !readInt(part[1], 0, maxStitchedSidePx, &cell.y) || !part[2].is_string()) {
                    *error = where + QStringLiteral(" has a part that is not [x, y, path]");
                    return false;
                }
                const QString ref = QString::fromStdString(part[2].get<std::string>());
                const qsizetype split = ref.indexOf(QLatin1String(".dat/"));
                if (split <= 0) {
                    *error = where + QStringLiteral(": \"%1\" does not name an entry of a .dat "
                                                    "archive")
                                         .arg(ref);
                    return false;
                }
                cell.archive = ref.left(split + 4);
                cell.entry = ref.mid(split + 5);
                const QString problem = Storage::checkPath(ref);
                if (!problem.isEmpty()) {
                    *error = where + QStringLiteral(": \"%1\": %2").arg(ref, problem);
                    return false;
                }
                entry.cells.push_back(std::move(cell));
            }
        } else if (type == "single") {
            entry.type = ScanImage::Type::Single;
            if (!image.contains("path") || !image["path"].is_string()) {
                *error = where + QStringLiteral(" has no \"path\"");
                return false;
            }
            entry.path = QString::fromStdString(image["path"].get<std::string>());
            const QString problem = Storage::checkPath(entry.path);
            if (!problem.isEmpty()) {
                *error = where + QStringLiteral(": \"%1\": %2").arg(entry.path, problem);
                return false;
            }
        } else {
            *error =
                where +
                QStringLiteral(" has the unknown type \"%1\"").arg(QString::fromStdString(type));
            return false;
        }
        descriptor.images.push_back(std::move(entry));
    }
    *out = std::move(descriptor);
    return true;
}

} // namespace tavrona
