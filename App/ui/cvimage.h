#pragma once

#include "shell/metatypes.h"

#include <QQuickItem>
#include <QRectF>

#include <opencv2/core.hpp>

// Shows an 8-bit RGB matrix, whole or a rectangular part of it, stretched to the item's size.
// The item keeps a counted reference to the matrix, so producers may go on publishing new
// matrices while the scene graph uploads this one.
class CvImage : public QQuickItem {
    Q_OBJECT
    Q_PROPERTY(cv::Mat image READ image WRITE setImage NOTIFY imageChanged)
    Q_PROPERTY(int imageWidth READ imageWidth NOTIFY imageWidthChanged)
    Q_PROPERTY(int imageHeight READ imageHeight NOTIFY imageHeightChanged)
    Q_PROPERTY(QRectF region READ region WRITE setRegion RESET resetRegion NOTIFY regionChanged)

public:
    explicit CvImage(QQuickItem *parent = nullptr);

    cv::Mat image() const { return m_image; }
    void setImage(cv::Mat image);
    int imageWidth() const { return m_image.cols; }
    int imageHeight() const { return m_image.rows; }
    QRectF region() const { return m_region; }
    void setRegion(QRectF region);
    void resetRegion() { setRegion(QRectF()); }

    // The pixels a repaint shows: the region clipped to the image, or the whole image; empty
    // when there is nothing that can be drawn as three-byte RGB pixels.
    cv::Mat visiblePixels() const;

signals:
    void imageChanged();
    void imageWidthChanged();
    void imageHeightChanged();
    void regionChanged();

protected:
    QSGNode *updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *data) override;

private:
    cv::Mat m_image;
    QRectF m_region;
};
