#pragma once

#include "camera/frameinfo.h"
#include "mosaic/cellinfo.h"
#include "mosaic/livecounters.h"
#include "mosaic/mosaicgrid.h"
#include "mosaic/phasecorrelator.h"
#include "shell/metatypes.h"

#include <QList>
#include <QObject>
#include <QRectF>
#include <QSharedPointer>
#include <QSizeF>

#include <opencv2/core.hpp>

#include <array>
#include <atomic>
#include <functional>

class CameraThread;

// The live builder: registers every new preview against the mosaic drawn so far, keeps the best
// version of each grid cell, renders the view around the current frame and the minimap, and
// tells the full-resolution builder which cells of which frame to keep. Lives in its own thread;
// only `running` and `eraserMode` are touched from outside it.
class SmallBuilder : public QObject {
    Q_OBJECT

public:
    enum class Estimate {
        None,      // in sync, moved by less than a pixel: nothing added
        OutOfSync, // estimate rejected: position kept, nothing added
        Moved,     // position updated, frame shifted to whole pixels and to be added
    };

    // Whether the camera's frames may be taken now (the program opens it while someone is
    // logged in). Asked in the builder's thread before each frame, so it must be thread-safe.
    using FrameGate = std::function<bool()>;

    // Without a camera facade or a gate, frames only arrive through processFrame().
    SmallBuilder(CameraThread *cameraThread, FrameGate frameGate);

    // Does everything update() does for one frame once it has been fetched and found new.
    Estimate processFrame(QSharedPointer<FrameInfo> newFrame);

    // Registers a small image against the mosaic and updates the position and the out-of-sync
    // flag. On Moved, the image shifted onto whole mosaic pixels is left for adding.
    Estimate estimatePosition(const cv::Mat &small);

    cv::Point2d position() const { return m_position; }
    bool isOutOfSync() const { return outOfSync; }
    const MosaicGrid &mosaicGrid() const { return grid; }
    const QList<LiveCellInfo> &lastCells() const { return cells; }
    const cv::Mat &lastFrameImage() const { return lastFrame; }
    const cv::Mat &weights() const { return weightMask; }
    // The registration of the last estimatePosition().
    PhaseCorrelator::Result lastRegistration() const { return registration; }
    // The counters of the part so far (since the last reset()).
    LiveCounters partCounters() const { return counting.result(); }

    std::atomic<bool> running{false};
    std::atomic<bool> eraserMode{false};

public slots:
    // Processes the camera's newest frame unless it was processed already.
    void update();
    void viewSizeUpdate(QSizeF newSize);
    void viewResolutionUpdate(QSizeF newResolution);
    void mouseClick(double x, double y);
    void mouseDrag(double x, double y, double dx, double dy);
    void reset();

signals:
    void updated(cv::Mat visibleImage, cv::Mat minimap, cv::Mat cameraImage, double imageQuality,
                 bool outOfSync, QRectF positionOnMinimap);
    void storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells);
    void eraseFrame(Point cell_id);
    // A scan part ended (reset() after frames were taken): how the builder kept up in it.
    void partCounted(LiveCounters counters);

private:
    friend class TestSmallBuilder;

    void addFrame(const cv::Mat &small, float weight);
    void publish(bool render);
    void renderView();
    void renderMinimap();
    void eraseAt(double x, double y);
    void buildWeightMask(cv::Size size);
    cv::Size heldSmallSize() const;

    CameraThread *cameraThread = nullptr;
    FrameGate frameGate;

    QSharedPointer<FrameInfo> frame;
    cv::Mat lastFrame;
    cv::Point2d m_position{0., 0.};
    bool outOfSync = false;
    double maxSharpness = 0.00001;
    PhaseCorrelator correlator;
    PhaseCorrelator::Result registration;
    MosaicGrid grid;

    cv::Size viewSize{800, 600};
    cv::Size viewResolution{800, 600};
    cv::Mat visibleImage;
    cv::Mat minimap;
    QRectF positionOnMinimap;
    cv::Mat weightMask;
    bool weightMaskBuilt = false;
    QList<LiveCellInfo> cells;
    LiveCounting counting;
    cv::Mat previousSmall; // the last processed frame's preview, to tell a repeated picture

    // Registration scratch, reused from frame to frame.
    cv::Mat reference;
    cv::Mat coverage;
    cv::Mat placed;     // the frame being added, shifted; swaps buffers with lastFrame
    cv::Mat viewSource; // the view's part of the mosaic, when it reaches past the canvas
    // Published images, reused once nobody else holds them.
    std::array<cv::Mat, 4> viewBuffers;
    std::array<cv::Mat, 4> minimapBuffers;
};
