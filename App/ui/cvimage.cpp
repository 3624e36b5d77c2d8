#include "ui/cvimage.h"

#include <QImage>
#include <QQuickWindow>
#include <QSGSimpleTextureNode>
#include <QSGTexture>
#include <QtQml/qqml.h>

#include <algorithm>

static void registerCvImage() {
    qmlRegisterType<CvImage>("Mireva", 1, 0, "CvImage");
}
Q_CONSTRUCTOR_FUNCTION(registerCvImage)

CvImage::CvImage(QQuickItem *parent)
    : QQuickItem(parent) {
    setFlag(QQuickItem::ItemHasContents);
}

void CvImage::setImage(cv::Mat image) {
    const int oldCols = m_image.cols;
    const int oldRows = m_image.rows;
    m_image = image;
    emit imageChanged();
    if (m_image.cols != oldCols)
        emit imageWidthChanged();
    if (m_image.rows != oldRows)
        emit imageHeightChanged();
    update();
}

void CvImage::setRegion(QRectF region) {
    if (region == m_region)
        return;
    m_region = region;
    emit regionChanged();
    update();
}

cv::Mat CvImage::visiblePixels() const {
    // Anything but three bytes per pixel would be read past its end as RGB888: show nothing.
    if (m_image.empty() || m_image.type() != CV_8UC3)
        return {};
    if (!m_region.isValid())
        return m_image;
    const int x = int(m_region.x());
    const int y = int(m_region.y());
    const int width = int(m_region.width());
    const int height = int(m_region.height());
    // A region thinner than a pixel truncates to nothing: show the whole image as for no region.
    if (width <= 0 || height <= 0)
        return m_image;
    const int x0 = std::clamp(x, 0, m_image.cols - 1);
    const int y0 = std::clamp(y, 0, m_image.rows - 1);
    const int w = std::min(width, m_image.cols - x0);
    const int h = std::min(height, m_image.rows - y0);
    return m_image(cv::Rect(x0, y0, w, h));
}

QSGNode *CvImage::updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *) {
    const cv::Mat pixels = visiblePixels();
    if (pixels.empty() || !window()) {
        delete oldNode;
        return nullptr;
    }
    auto *node = static_cast<QSGSimpleTextureNode *>(oldNode);
    if (!node) {
        node = new QSGSimpleTextureNode();
        node->setOwnsTexture(true);
    }
    const QImage view(pixels.data, pixels.cols, pixels.rows, int(pixels.step),
                      QImage::Format_RGB888);
    QSGTexture *texture = window()->createTextureFromImage(view.copy());
    node->setTexture(texture);
    node->setRect(boundingRect());
    return node;
}
