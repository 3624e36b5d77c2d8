#pragma once

// Meta-type declarations of library types that travel through queued connections and QML.
#include <QMetaType>

#include <opencv2/core.hpp>

Q_DECLARE_METATYPE(cv::Mat)
Q_DECLARE_METATYPE(cv::Point2d)
