import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Shapes
import QtMultimedia

// The live mosaic with the camera picture over it, plus the measuring tools.
Item {
    id: root

    enum Status {
        FirstClick,
        SecondClick,
        Dialog
    }

    readonly property real defaultScale: 0.9
    readonly property real defaultBuilderScale: 0.5
    readonly property real scaleChange: 1.1
    readonly property int closePreviewSize: 150

    property bool showCamera: false
    property bool rulerTool: false
    // The window is in its lens calibration state.
    property bool calibrating: false

    property real relativeScale: defaultScale

    // Camera preview size in small-image pixels. Before the first frame the scale factors are
    // NaN, so the size falls back to nothing and imageScale below stays finite.
    readonly property real cameraScaleX: cameraThread ? cameraThread.imageScaleX : NaN
    readonly property real cameraScaleY: cameraThread ? cameraThread.imageScaleY : NaN
    readonly property real previewWidth: finiteOrZero(cameraPicture.implicitWidth / cameraScaleX)
    readonly property real previewHeight: finiteOrZero(cameraPicture.implicitHeight / cameraScaleY)
    // View pixels per small-image pixel.
    readonly property real imageScale: relativeScale * Math.min(width / Math.max(previewWidth, 1),
                                                                height / Math.max(previewHeight, 1))
    // View pixels per full-resolution pixel.
    readonly property real ratioX: imageScale / cameraScaleX
    readonly property real ratioY: imageScale / cameraScaleY

    readonly property size viewSize: Qt.size(mosaic.width / imageScale, mosaic.height / imageScale)
    readonly property size viewResolution: Qt.size(mosaic.width * Screen.devicePixelRatio,
                                                   mosaic.height * Screen.devicePixelRatio)

    readonly property bool builderRunning: smallBuilderThread ? smallBuilderThread.running : false
    readonly property bool eraserMode: smallBuilderThread ? smallBuilderThread.eraserMode : false
    readonly property bool outOfSync: smallBuilderThread ? smallBuilderThread.outOfSync : false
    readonly property color borderColor: outOfSync ? "red" : "green"
    readonly property bool showBorder: builderRunning && showCamera
    readonly property bool showMinimap: builderRunning

    readonly property real mpp: settings ? parseFloat(settings.mpp) : NaN
    readonly property bool hasCalibration: mpp > 0

    property bool prevOutOfSync: false
    property point rulerStart
    property point rulerEnd
    property bool rulerVisible: false

    property int calibrationStatus: ScanView.FirstClick
    property point firstClick
    property point secondClick

    property alias distanceDialog: distanceDialog
    property alias cameraPicture: cameraPicture
    property alias closeUp: closeUp
    property alias scaleBar: scaleBar
    property alias outOfSyncSound: outOfSyncSound

    signal message(string msg)
    // The distance dialog has closed, accepted or not.
    signal calibrationFinished

    function finiteOrZero(value) {
        return isFinite(value) ? value : 0;
    }

    function zoomIn() {
        if (relativeScale < 5)
            relativeScale *= scaleChange;
    }

    function zoomOut() {
        if (relativeScale > 0.1)
            relativeScale /= scaleChange;
    }

    function reset(building) {
        relativeScale = building ? defaultBuilderScale : defaultScale;
    }

    function startCalibration() {
        calibrationStatus = ScanView.FirstClick;
        firstClick = Qt.point(0, 0);
        secondClick = Qt.point(0, 0);
    }

    // Full-resolution pixels between the two calibration points.
    function calibrationDistance() {
        const dx = (firstClick.x - secondClick.x) * cameraScaleX;
        const dy = (firstClick.y - secondClick.y) * cameraScaleY;
        return Math.sqrt(dx * dx + dy * dy);
    }

    // A positive number of millimetres; a decimal comma is accepted.
    function parseMillimetres(text) {
        if (text.length === 0)
            return NaN;
        const normalised = text.replace(",", ".");
        if (!/^\s*[+]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*$/.test(normalised))
            return NaN;
        const value = Number(normalised);
        return value > 0 ? value : NaN;
    }

    function storeCalibration(millimetres) {
        settings.mpp = (millimetres * 1000 / calibrationDistance()).toFixed(5);
    }

    onViewSizeChanged: if (smallBuilderThread) smallBuilderThread.viewSizeUpdate(viewSize)
    onViewResolutionChanged: if (smallBuilderThread) smallBuilderThread.viewResolutionUpdate(viewResolution)
    onOutOfSyncChanged: {
        if (outOfSync === prevOutOfSync)
            return;
        prevOutOfSync = outOfSync;
        if (outOfSync)
            outOfSyncSound.play();
    }
    onCalibrationStatusChanged: {
        if (calibrationStatus === ScanView.Dialog)
            distanceDialog.open();
    }
    Component.onCompleted: {
        if (smallBuilderThread) {
            smallBuilderThread.viewSizeUpdate(viewSize);
            smallBuilderThread.viewResolutionUpdate(viewResolution);
        }
    }

    Shortcut {
        sequence: "="
        onActivated: root.zoomIn()
        onActivatedAmbiguously: root.zoomIn()
    }

    Shortcut {
        sequence: "-"
        onActivated: root.zoomOut()
        onActivatedAmbiguously: root.zoomOut()
    }

    // Made on first use: a sound effect looks for an audio device as soon as it exists, and
    // most sessions never lose track of the camera.
    Loader {
        id: outOfSyncSound
        readonly property real volume: 0.5
        active: false
        sourceComponent: SoundEffect {
            source: "qrc:/sounds/out-of-sync.wav"
            volume: outOfSyncSound.volume
            onStatusChanged: if (status === SoundEffect.Ready) play()
        }

        function play() {
            if (active && item.status === SoundEffect.Ready)
                item.play();
            else
                active = true;
        }
    }

    // 1. The live mosaic, rendered by the live builder for exactly this viewport.
    CvImageWrapper {
        id: mosaic
        objectName: "mosaic"
        anchors.fill: parent
        image: smallBuilderThread ? smallBuilderThread.image : undefined

        MouseArea {
            id: mosaicMouse
            property point previous
            anchors.fill: parent
            hoverEnabled: true
            enabled: !root.rulerTool
            cursorShape: root.eraserMode ? Qt.PointingHandCursor
                                         : (root.outOfSync ? Qt.CrossCursor : Qt.ArrowCursor)
            onClicked: mouse => smallBuilderThread.mouseClick(mouse.x / root.imageScale,
                                                              mouse.y / root.imageScale)
            onPositionChanged: mouse => {
                if (mouse.buttons !== Qt.NoButton)
                    smallBuilderThread.mouseDrag(mouse.x / root.imageScale,
                                                 mouse.y / root.imageScale,
                                                 (mouse.x - previous.x) / root.imageScale,
                                                 (mouse.y - previous.y) / root.imageScale);
                previous = Qt.point(mouse.x, mouse.y);
            }
            onPressed: mouse => previous = Qt.point(mouse.x, mouse.y)
        }
    }

    // 2. The camera picture, drawn at the mosaic's scale in the middle of the view.
    CvImageWrapper {
        id: cameraPicture
        objectName: "cameraPicture"
        anchors.centerIn: parent
        width: root.previewWidth * root.imageScale
        height: root.previewHeight * root.imageScale
        visible: root.showCamera
        image: smallBuilderThread && smallBuilderThread.running && smallBuilderThread.hasCameraImage
               ? smallBuilderThread.cameraImage
               : (cameraThread ? cameraThread.image : undefined)

        DashedFrame {
            anchors.centerIn: parent
            width: root.closePreviewSize * root.ratioX
            height: root.closePreviewSize * root.ratioY
            visible: root.ratioX < 1 || root.ratioY < 1
        }

        // Takes every press on the picture, so the mosaic below only gets those around it.
        MouseArea {
            id: calibrationMouse
            anchors.fill: parent
            hoverEnabled: true
            onPositionChanged: mouse => {
                if (!root.calibrating)
                    return;
                const point = Qt.point(mouse.x / root.imageScale, mouse.y / root.imageScale);
                if (root.calibrationStatus === ScanView.FirstClick)
                    root.firstClick = point;
                else if (root.calibrationStatus === ScanView.SecondClick)
                    root.secondClick = point;
            }
            onClicked: mouse => {
                if (!root.calibrating)
                    return;
                const point = Qt.point(mouse.x / root.imageScale, mouse.y / root.imageScale);
                if (root.calibrationStatus === ScanView.FirstClick) {
                    root.firstClick = point;
                    root.secondClick = point;
                    root.calibrationStatus = ScanView.SecondClick;
                } else if (root.calibrationStatus === ScanView.SecondClick) {
                    // Measured to where the click lands, not to the last hover position.
                    root.secondClick = point;
                    if (root.calibrationDistance() < 1) {
                        root.message(qsTr("The distance between A and B is too small"));
                        return;
                    }
                    root.calibrationStatus = ScanView.Dialog;
                }
            }
        }

        Rectangle {
            readonly property bool shown: markerA.visible && markerB.visible
            readonly property real dx: markerB.x - markerA.x
            readonly property real dy: markerB.y - markerA.y
            visible: shown
            x: markerA.x + 3
            y: markerA.y + 3 - 1
            width: Math.sqrt(dx * dx + dy * dy)
            height: 2
            color: "#d41c1c"
            transformOrigin: Item.Left
            rotation: Math.atan2(dy, dx) * 180 / Math.PI
            opacity: Math.max(markerA.opacity, markerB.opacity)
        }

        CalibrationMarker {
            id: markerA
            label: "A"
            point: root.firstClick
            viewScale: root.imageScale
            visible: root.calibrating
            opacity: root.calibrationStatus === ScanView.FirstClick ? 0.8 : 1
        }

        CalibrationMarker {
            id: markerB
            label: "B"
            point: root.secondClick
            viewScale: root.imageScale
            visible: root.calibrating && root.calibrationStatus !== ScanView.FirstClick
            opacity: root.calibrationStatus === ScanView.SecondClick ? 0.8 : 1
        }
    }

    // 3. A 1:1 close-up of the middle of the camera picture.
    CvImageWrapper {
        id: closeUp
        objectName: "closeUp"
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: 20
        width: root.closePreviewSize
        height: root.closePreviewSize
        image: cameraPicture.image
        region: Qt.rect((cameraPicture.imageWidth - root.closePreviewSize) / 2,
                        (cameraPicture.imageHeight - root.closePreviewSize) / 2,
                        root.closePreviewSize, root.closePreviewSize)
        visible: root.showCamera && cameraPicture.imageWidth > 0 && root.ratioX < 1

        DashedFrame {
            anchors.fill: parent
        }
    }

    // 4. The known distance between the two calibration points.
    Dialog {
        id: distanceDialog

        property alias input: distanceField
        readonly property real millimetres: root.parseMillimetres(distanceField.text)
        readonly property bool valid: !isNaN(millimetres)

        title: qsTr("Distance between A and B (milimeters)")
        modal: true
        closePolicy: Popup.NoAutoClose
        width: 320
        height: 150
        x: cameraPicture.x + (cameraPicture.width - width) / 2
        y: Math.max(cameraPicture.y - height - 10, 10)

        onOpened: {
            distanceField.text = "";
            distanceField.forceActiveFocus();
        }
        onAccepted: {
            if (valid)
                root.storeCalibration(millimetres);
        }
        onClosed: {
            root.calibrationStatus = ScanView.FirstClick;
            root.calibrationFinished();
        }

        ColumnLayout {
            anchors.fill: parent

            RowLayout {
                TextField {
                    id: distanceField
                    objectName: "distanceField"
                    Layout.fillWidth: true
                    inputMethodHints: Qt.ImhFormattedNumbersOnly
                }
                Label {
                    text: "mm"
                }
            }

            Label {
                objectName: "invalidInput"
                text: qsTr("Invalid input")
                color: "red"
                visible: distanceField.text.length > 0 && !distanceDialog.valid
            }
        }

        footer: DialogButtonBox {
            Button {
                objectName: "distanceOk"
                text: "OK"
                enabled: distanceDialog.valid
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
            Button {
                objectName: "distanceCancel"
                text: "Cancel"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }

    // 5. What to do while calibrating.
    Rectangle {
        anchors.top: parent.top
        anchors.topMargin: 20
        anchors.horizontalCenter: parent.horizontalCenter
        width: hintText.implicitWidth + 20
        height: hintText.implicitHeight + 20
        radius: 5
        color: "black"
        opacity: 0.8
        visible: root.calibrating

        Text {
            id: hintText
            anchors.centerIn: parent
            text: qsTr("Click on two points at a measurable distance")
            color: "white"
        }
    }

    // 6. The camera frame, red while the live builder has lost track of the camera.
    Rectangle {
        id: cameraFrame
        x: cameraPicture.x - 1
        y: cameraPicture.y - 1
        width: cameraPicture.width + 2
        height: cameraPicture.height + 2
        color: "transparent"
        border.width: 1
        border.color: root.borderColor
        visible: root.showBorder
    }

    // 7. How sure the live builder is of the camera's position.
    Rectangle {
        objectName: "qualityBar"
        x: cameraFrame.x
        y: cameraFrame.y - height
        width: cameraFrame.width
        height: 10
        color: "white"
        border.width: 1
        border.color: root.borderColor
        visible: root.showBorder

        Rectangle {
            x: 1
            y: 1
            height: parent.height - 2
            width: (parent.width - 2) * (smallBuilderThread ? smallBuilderThread.estimationQuality : 0)
            color: root.borderColor
        }
    }

    // 8. The whole mosaic, one device pixel per minimap pixel, and where the camera is on it.
    Item {
        objectName: "minimap"
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.margins: 20
        width: minimap.width
        height: minimap.height
        visible: root.showMinimap

        CvImageWrapper {
            id: minimap
            width: implicitWidth / Screen.devicePixelRatio
            height: implicitHeight / Screen.devicePixelRatio
            image: smallBuilderThread ? smallBuilderThread.minimap : undefined
        }

        Rectangle {
            readonly property rect position: smallBuilderThread ? smallBuilderThread.positionOnMinimap
                                                                : Qt.rect(0, 0, 0, 0)
            x: position.x / Screen.devicePixelRatio
            y: position.y / Screen.devicePixelRatio
            width: position.width / Screen.devicePixelRatio
            height: position.height / Screen.devicePixelRatio
            color: "#228b2299"
            border.width: 1
            border.color: "#228b22"
        }

        Rectangle {
            x: -1
            y: -1
            width: minimap.width + 2
            height: minimap.height + 2
            color: "transparent"
            border.width: 1
            border.color: "black"
        }
    }

    // 9. Scale bar.
    ScaleBar {
        id: scaleBar
        anchors.top: parent.top
        anchors.topMargin: 10
        anchors.horizontalCenter: parent.horizontalCenter
        maxWidth: 200
        mpp: root.mpp / root.ratioX
        visible: root.showCamera && !root.calibrating && root.hasCalibration
    }

    // 10. Ruler.
    Ruler {
        anchors.fill: parent
        mpp: root.mpp / root.ratioX
        pointA: root.rulerStart
        pointB: root.rulerEnd
        visible: root.rulerTool && root.rulerVisible
    }

    // 11. Measuring with the ruler.
    MouseArea {
        anchors.fill: parent
        enabled: root.rulerTool
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onPressed: mouse => {
            if (mouse.button === Qt.LeftButton)
                root.rulerStart = Qt.point(mouse.x, mouse.y);
            root.rulerVisible = false;
        }
        onPositionChanged: mouse => {
            if (mouse.buttons & Qt.LeftButton) {
                root.rulerEnd = Qt.point(mouse.x, mouse.y);
                root.rulerVisible = true;
            }
        }
    }

    component DashedFrame: Shape {
        id: frame
        ShapePath {
            strokeWidth: 3
            strokeColor: "#99777777"
            strokeStyle: ShapePath.DashLine
            dashPattern: [4, 4]
            fillColor: "transparent"
            startX: 0
            startY: 0
            PathLine { x: frame.width; y: 0 }
            PathLine { x: frame.width; y: frame.height }
            PathLine { x: 0; y: frame.height }
            PathLine { x: 0; y: 0 }
        }
    }

    component CalibrationMarker: Item {
        id: marker
        property string label
        property point point
        property real viewScale: 1
        x: point.x * viewScale - 3
        y: point.y * viewScale - 3
        width: 6
        height: 6

        Rectangle {
            anchors.fill: parent
            radius: 3
            color: "#d41c1c"
        }

        Rectangle {
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.bottom: parent.top
            anchors.bottomMargin: 4
            width: markerText.implicitWidth + 8
            height: markerText.implicitHeight + 8
            radius: 5
            color: "#d41c1c"

            Text {
                id: markerText
                anchors.centerIn: parent
                text: marker.label
                color: "white"
                font.pointSize: 10
            }
        }
    }
}
