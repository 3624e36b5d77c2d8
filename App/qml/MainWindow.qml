import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Dialogs
import QuickFuture
import Mireva

// The scanning workflow: which panels and buttons are offered in each state, and what the
// facades are told when the state changes.
ApplicationWindow {
    id: window

    enum State {
        Welcome,
        Initializing,
        Running,
        Paused,
        NextPart,
        Finished,
        Calibrate,
        Snapshot
    }

    property int state: MainWindow.Welcome
    property int prevState: MainWindow.Welcome

    readonly property var camera: {
        if (!cameraThread || !settings)
            return undefined;
        const cameras = cameraThread.availableCameras;
        for (let i = 0; i < cameras.length; ++i) {
            if (cameras[i].id === settings.cameraId)
                return cameras[i];
        }
        return undefined;
    }
    readonly property bool hasCamera: camera !== undefined && camera !== null
    readonly property bool isLoggedIn: apiThread ? apiThread.isLoggedIn && apiThread.user !== null
                                                   && apiThread.user !== undefined
                                                 : false
    readonly property bool hasCalibration: settings ? parseFloat(settings.mpp) > 0 : false
    readonly property bool eraserMode: smallBuilderThread ? smallBuilderThread.eraserMode : false
    readonly property bool generatingProfile: cameraThread ? cameraThread.vignettingProfileGeneration
                                                           : false

    readonly property string startText: {
        switch (state) {
        case MainWindow.Welcome:
        case MainWindow.NextPart:
            return qsTr("Start scanning");
        case MainWindow.Paused:
            return qsTr("Resume");
        case MainWindow.Initializing:
            return qsTr("Initializing");
        default:
            return "";
        }
    }
    readonly property string photoText: state === MainWindow.Welcome ? qsTr("Photo series")
                                                                     : qsTr("Take photo")
    // Whether the user can see the buttons: they sit in the drawer's button grid.
    readonly property bool drawerShown: state !== MainWindow.Running
                                        && state !== MainWindow.Calibrate
    readonly property bool buttonGridShown: drawerShown && isLoggedIn
    readonly property bool buttonGridEnabled: isLoggedIn && !generatingProfile
    readonly property bool startButtonShown: buttonGridShown && startText !== ""
    readonly property bool startButtonEnabled: buttonGridEnabled && hasCamera
                                               && state !== MainWindow.Initializing
    readonly property bool photoButtonShown: buttonGridShown && (state === MainWindow.Welcome
                                                                 || state === MainWindow.Snapshot)
    readonly property bool photoButtonEnabled: buttonGridEnabled && hasCamera
                                               && state !== MainWindow.Initializing

    property alias topBar: topBar
    property alias scanView: scanView
    property alias drawer: drawer
    property alias toasts: toasts
    property alias snapshots: snapshots
    property alias saveOptions: saveOptions
    property alias unsavedScans: unsavedScans
    property alias unsavedDialog: unsavedDialog
    property alias startButton: startButton
    property alias photoButton: photoButton
    property alias finishButton: finishButton
    property alias nextPartButton: nextPartButton
    property alias newScanButton: newScanButton
    property alias gcTimer: gcTimer
    property alias lensProfile: lensProfile

    width: 1200
    height: 800
    visible: true
    visibility: Qt.platform.os === "linux" ? Window.AutomaticVisibility : Window.Maximized
    title: "Mireva"

    function isScanning(value) {
        return value === MainWindow.Running || value === MainWindow.Paused;
    }

    onStateChanged: {
        if (smallBuilderThread.eraserMode)
            smallBuilderThread.eraserMode = false;
        smallBuilderThread.running = state === MainWindow.Running;
        if (state === MainWindow.Welcome)
            snapshots.clear();
        if (state === MainWindow.Welcome || state === MainWindow.NextPart) {
            smallBuilderThread.reset();
            scanView.reset(false);
            topBar.showCamera = true;
        }
        if (state === MainWindow.Running && (prevState === MainWindow.Initializing
                                             || prevState === MainWindow.NextPart))
            scanView.reset(true);
        if (state === MainWindow.Finished) {
            bigBuilderThread.finish(settings.mpp, settings.magnification);
            topBar.rulerTool = false;
        }
        if (state === MainWindow.Calibrate)
            scanView.startCalibration();
        if (state === MainWindow.NextPart)
            bigBuilderThread.finishImage();
        if (isScanning(state) && !isScanning(prevState))
            cameraThread.beginScanning();
        else if (!isScanning(state) && isScanning(prevState))
            cameraThread.endScanning();
        prevState = state;
    }

    // Creates the scan on the service first; the state it leads to depends on the button.
    function startNewScan(target) {
        state = MainWindow.Initializing;
        Future.promise(apiThread.startNewScan()).then(function () {
            state = target;
        }, function () {
            state = MainWindow.Welcome;
            toasts.show(qsTr("An error occurred. Please try again"));
        });
    }

    function takePhoto() {
        bigBuilderThread.addSnapshot(cameraThread.image);
        snapshots.addSnapshot(cameraThread.smallImage);
    }

    function pressStart() {
        switch (state) {
        case MainWindow.Welcome:
            startNewScan(MainWindow.Running);
            break;
        case MainWindow.Paused:
        case MainWindow.NextPart:
            state = MainWindow.Running;
            break;
        }
    }

    function pressPhoto() {
        if (state === MainWindow.Welcome)
            startNewScan(MainWindow.Snapshot);
        else if (state === MainWindow.Snapshot)
            takePhoto();
    }

    function newScan() {
        const scan = apiThread.currentScan;
        if ((scan && scan.status === Scan.SAVED) || saveOptions.isSaving)
            state = MainWindow.Welcome;
        else
            unsavedDialog.open();
    }

    Timer {
        id: gcTimer
        interval: 2000
        repeat: true
        running: true
        onTriggered: gc()
    }

    Shortcut {
        sequence: "Space"
        enabled: (window.startButtonShown && window.startButtonEnabled)
                 || (window.photoButtonShown && window.photoButtonEnabled)
        onActivated: window.startButtonShown ? startButton.clicked() : photoButton.clicked()
    }

    Shortcut {
        sequence: "Shift+Space"
        enabled: window.photoButtonShown && window.photoButtonEnabled
        onActivated: photoButton.clicked()
    }

    Connections {
        target: smallBuilderThread
        ignoreUnknownSignals: true
        function onEraserChanged() {
            if (smallBuilderThread.eraserMode)
                toasts.show(qsTr("Click on the grid cells you want to erase"));
        }
    }

    Connections {
        target: apiThread
        ignoreUnknownSignals: true
        function onApiError(message) {
            toasts.show(message);
        }
    }

    Connections {
        target: bigBuilderThread
        ignoreUnknownSignals: true
        function onStorageFailed(containerID, reason) {
            toasts.show(qsTr("The disk is full or the scan folder cannot be written: no more "
                             + "cells are stored. Finish the scan to upload what it holds."),
                        10000);
        }
    }

    // The scans an earlier run left behind are told of once, as the window opens.
    Component.onCompleted: {
        const scans = apiThread ? apiThread.scans : [];
        for (let i = 0; i < scans.length; ++i) {
            if (scans[i].recovered)
                toasts.show(qsTr("Recovered the unsaved scan of %1")
                            .arg(unsavedScans.timeText(scans[i].startedAt)), 8000);
        }
    }

    MessageDialog {
        id: unsavedDialog
        text: qsTr("The scan hasn't been saved")
        informativeText: qsTr("Are you sure you don't want to save this scan?")
        buttons: MessageDialog.Ok | MessageDialog.Cancel
        // Not saving it means its files are no longer needed.
        onAccepted: {
            if (apiThread.currentScan)
                apiThread.discardScan(apiThread.currentScan.containerId);
            window.state = MainWindow.Welcome;
        }
    }

    header: TopBar {
        id: topBar
        hasCamera: window.hasCamera
        onPause: window.state = MainWindow.Paused
        onFinish: window.state = MainWindow.Finished
        onNextPart: window.state = MainWindow.NextPart
    }

    Drawer {
        id: drawer
        width: 400
        height: window.height
        position: 1
        interactive: false
        modal: false
        dim: false
        closePolicy: Popup.NoAutoClose
        visible: window.drawerShown
        // Opaque, since the drawer lies over the header's empty left end.
        background: Rectangle {
            color: drawer.palette.window

            Rectangle {
                anchors.right: parent.right
                width: 1
                height: parent.height
                color: drawer.palette.mid
            }
        }

        // The scan view has the same pair; when both are enabled Qt hands each press to one
        // of them as ambiguous, so both react to that too and every press zooms once.
        Shortcut {
            sequence: "-"
            enabled: drawer.visible
            onActivated: scanView.zoomOut()
            onActivatedAmbiguously: scanView.zoomOut()
        }

        Shortcut {
            sequence: "="
            enabled: drawer.visible
            onActivated: scanView.zoomIn()
            onActivatedAmbiguously: scanView.zoomIn()
        }

        ScrollView {
            id: drawerScroll
            anchors.fill: parent
            contentWidth: availableWidth

            ColumnLayout {
                width: drawerScroll.availableWidth
                height: Math.max(implicitHeight, drawerScroll.availableHeight)
                spacing: 10

                Image {
                    Layout.preferredWidth: 140
                    Layout.preferredHeight: 140 * (sourceSize.height / Math.max(sourceSize.width, 1))
                    Layout.alignment: Qt.AlignHCenter
                    Layout.margins: 10
                    source: "qrc:/images/logo.png"
                    fillMode: Image.PreserveAspectFit
                }

                UserView {
                    Layout.fillWidth: true
                    visible: window.state === MainWindow.Welcome
                             || window.state === MainWindow.Finished
                }

                SelectCamera {
                    Layout.fillWidth: true
                    enabled: window.state === MainWindow.Welcome
                }

                CameraProperties {
                    Layout.fillWidth: true
                    visible: window.state !== MainWindow.Finished && cameraThread
                             && cameraThread.properties.length > 0
                }

                VignettingCorrection {
                    Layout.fillWidth: true
                    visible: window.hasCamera && window.isLoggedIn
                             && window.state === MainWindow.Welcome
                }

                LensProfile {
                    id: lensProfile
                    Layout.fillWidth: true
                    visible: window.hasCamera && window.isLoggedIn
                             && window.state === MainWindow.Welcome
                }

                ScrollView {
                    Layout.fillWidth: true
                    Layout.preferredHeight: Math.min(snapshots.implicitHeight, 300)
                    visible: window.state === MainWindow.Snapshot
                             || window.state === MainWindow.Finished
                    contentWidth: availableWidth

                    Snapshots {
                        id: snapshots
                        width: parent.width
                    }
                }

                Item {
                    Layout.fillHeight: true
                }

                Label {
                    Layout.fillWidth: true
                    text: qsTr("Before you begin, please log in to Tavrona")
                    font.bold: true
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    visible: !window.isLoggedIn
                }

                Label {
                    Layout.fillWidth: true
                    text: qsTr("Move the camera to the next part and click <b>Start scanning</b>")
                    font.pointSize: 12
                    wrapMode: Text.WordWrap
                    horizontalAlignment: Text.AlignHCenter
                    visible: window.state === MainWindow.NextPart
                }

                Label {
                    Layout.fillWidth: true
                    text: qsTr("Press space or click <b>Take photo</b> to take a photo")
                    font.pointSize: 12
                    wrapMode: Text.WordWrap
                    horizontalAlignment: Text.AlignHCenter
                    visible: window.state === MainWindow.Snapshot
                }

                GridLayout {
                    Layout.fillWidth: true
                    Layout.margins: 30
                    columns: 2
                    visible: window.isLoggedIn
                    enabled: window.buttonGridEnabled

                    SaveOptions {
                        id: saveOptions
                        Layout.columnSpan: 2
                        Layout.fillWidth: true
                        visible: window.state === MainWindow.Finished
                        onMessage: msg => toasts.show(msg, 5000)
                    }

                    UnsavedScans {
                        id: unsavedScans
                        Layout.columnSpan: 2
                        Layout.fillWidth: true
                        shownElsewhere: window.state === MainWindow.Finished ? saveOptions.scan
                                                                              : null
                        visible: entries.length > 0 && (window.state === MainWindow.Welcome
                                                        || window.state === MainWindow.Finished)
                        onMessage: msg => toasts.show(msg, 5000)
                    }

                    Button {
                        id: finishButton
                        text: qsTr("Finish")
                        icon.source: "qrc:/icons/stop.svg"
                        Layout.fillWidth: true
                        Layout.columnSpan: window.state === MainWindow.Paused ? 1 : 2
                        visible: window.state === MainWindow.Paused
                                 || window.state === MainWindow.NextPart
                                 || window.state === MainWindow.Snapshot
                        onClicked: window.state = MainWindow.Finished
                    }

                    Button {
                        id: nextPartButton
                        text: qsTr("Next part")
                        icon.source: "qrc:/icons/add-circle-sharp.svg"
                        Layout.fillWidth: true
                        visible: window.state === MainWindow.Paused
                        onClicked: window.state = MainWindow.NextPart
                    }

                    Button {
                        id: startButton
                        text: window.startText
                        icon.source: "qrc:/icons/play.svg"
                        highlighted: true
                        Layout.fillWidth: true
                        Layout.columnSpan: 2
                        visible: window.startText !== ""
                        enabled: window.hasCamera && window.state !== MainWindow.Initializing
                        onClicked: window.pressStart()
                    }

                    Button {
                        id: photoButton
                        text: window.photoText
                        icon.source: "qrc:/icons/camera.svg"
                        highlighted: true
                        Layout.fillWidth: true
                        Layout.columnSpan: 2
                        visible: window.state === MainWindow.Welcome
                                 || window.state === MainWindow.Snapshot
                        enabled: window.hasCamera && window.state !== MainWindow.Initializing
                        onClicked: window.pressPhoto()
                    }

                    Button {
                        id: newScanButton
                        text: qsTr("New scan")
                        icon.source: "qrc:/icons/reload.svg"
                        highlighted: true
                        Layout.fillWidth: true
                        Layout.columnSpan: 2
                        visible: window.state === MainWindow.Finished
                        onClicked: window.newScan()
                    }
                }
            }
        }
    }

    Item {
        id: mainArea
        anchors.fill: parent
        anchors.leftMargin: drawer.visible ? drawer.width * drawer.position : 0

        ScanView {
            id: scanView
            anchors.fill: parent
            visible: window.hasCamera
            calibrating: window.state === MainWindow.Calibrate
            showCamera: window.state !== MainWindow.Finished && !window.eraserMode
                        && topBar.showCamera
            rulerTool: window.state !== MainWindow.Calibrate && !window.eraserMode
                       && topBar.rulerTool && window.hasCalibration
            onMessage: msg => toasts.show(msg, 5000)
            onCalibrationFinished: {
                if (window.state === MainWindow.Calibrate)
                    window.state = MainWindow.Welcome;
            }
        }

        Label {
            objectName: "selectCameraHeading"
            anchors.centerIn: parent
            text: qsTr("Select the camera to see the preview")
            font.pointSize: 20
            visible: !window.hasCamera && !(cameraThread && cameraThread.availableCamerasLoading)
        }

        ColumnLayout {
            objectName: "searchingHeading"
            anchors.centerIn: parent
            spacing: 20
            visible: !window.hasCamera && cameraThread && cameraThread.availableCamerasLoading

            Label {
                Layout.alignment: Qt.AlignHCenter
                text: qsTr("Searching for cameras")
                font.pointSize: 20
            }

            Spinner {
                Layout.alignment: Qt.AlignHCenter
                radius: 25
                color: "black"
            }
        }
    }

    ToastManager {
        id: toasts
        parent: Overlay.overlay
        z: 1000
        y: 40
        width: Math.min(window.width, 600)
        height: window.height - 40
        x: (window.width - width) / 2
    }
}
