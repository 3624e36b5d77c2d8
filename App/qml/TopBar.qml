import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The window's header: the scan's tool buttons and the camera's sharpness.
ToolBar {
    id: root

    property bool showCamera: true
    property bool rulerTool: false
    property bool hasCamera: false

    readonly property bool running: smallBuilderThread ? smallBuilderThread.running : false
    readonly property bool eraserMode: smallBuilderThread ? smallBuilderThread.eraserMode : false
    readonly property bool hasCalibration: settings ? parseFloat(settings.mpp) > 0 : false
    readonly property var scan: apiThread ? apiThread.currentScan : null
    readonly property string sharpnessText: {
        const value = cameraThread ? Math.round(cameraThread.sharpness) : 0;
        return qsTr("Sharpness") + ": " + String(isFinite(value) ? value : 0).padStart(5, " ");
    }

    property alias pauseButton: pauseButton
    property alias finishButton: finishButton
    property alias nextPartButton: nextPartButton
    property alias eraserButton: eraserButton
    property alias doneButton: doneButton
    property alias cameraButton: cameraButton
    property alias rulerButton: rulerButton
    property alias uploadIndicator: uploadIndicator

    signal pause
    signal finish
    signal nextPart

    Shortcut {
        sequence: "C"
        enabled: cameraButton.visible
        onActivated: root.showCamera = !root.showCamera
    }

    Shortcut {
        sequence: "R"
        enabled: rulerButton.visible
        onActivated: root.rulerTool = !root.rulerTool
    }

    RowLayout {
        anchors.fill: parent
        anchors.rightMargin: 20
        layoutDirection: Qt.RightToLeft
        spacing: 10

        Label {
            objectName: "sharpness"
            text: root.sharpnessText
            color: palette.brightText
            horizontalAlignment: Text.AlignHCenter
            Layout.minimumWidth: 140
        }

        ToolButton {
            id: pauseButton
            text: qsTr("Pause")
            icon.source: "qrc:/icons/pause.svg"
            visible: root.running || root.eraserMode
            onClicked: root.pause()
        }

        ToolButton {
            id: finishButton
            text: qsTr("Finish")
            icon.source: "qrc:/icons/square.svg"
            visible: root.running || root.eraserMode
            onClicked: root.finish()
        }

        ToolButton {
            id: nextPartButton
            text: qsTr("Next part")
            icon.source: "qrc:/icons/add-circle-sharp.svg"
            visible: root.running || root.eraserMode
            onClicked: root.nextPart()
        }

        ToolButton {
            id: eraserButton
            text: qsTr("Eraser")
            icon.source: "qrc:/icons/backspace.svg"
            visible: root.running && !root.eraserMode
            onClicked: {
                smallBuilderThread.running = false;
                smallBuilderThread.eraserMode = true;
            }
        }

        ToolButton {
            id: doneButton
            text: qsTr("Done")
            icon.source: "qrc:/icons/checkmark.svg"
            visible: root.eraserMode
            onClicked: {
                smallBuilderThread.running = true;
                smallBuilderThread.eraserMode = false;
            }
        }

        ToolButton {
            id: cameraButton
            text: root.showCamera ? qsTr("Hide camera") : qsTr("Show camera")
            icon.source: "qrc:/icons/camera.svg"
            visible: root.running && !root.eraserMode
            onClicked: root.showCamera = !root.showCamera
        }

        ToolButton {
            id: rulerButton
            text: qsTr("Ruler tool")
            icon.source: "qrc:/icons/barcode.svg"
            checkable: true
            checked: root.rulerTool
            enabled: root.hasCalibration && root.hasCamera
            visible: enabled
            // A ruler without its button could not be switched off.
            onEnabledChanged: if (!enabled) root.rulerTool = false
            onToggled: {
                root.rulerTool = checked;
                checked = Qt.binding(() => root.rulerTool);
            }
        }

        Row {
            id: uploadIndicator
            objectName: "uploadIndicator"
            spacing: 5
            visible: root.scan !== null && root.scan !== undefined && root.scan.uploading !== 0

            Image {
                anchors.verticalCenter: parent.verticalCenter
                source: "qrc:/icons/cloud-upload.svg"
                sourceSize.width: 20
                sourceSize.height: 20
            }

            Label {
                objectName: "uploadText"
                anchors.verticalCenter: parent.verticalCenter
                // The numbers go in before the lookup, so this text is never translated.
                text: root.scan ? "Uploading %1 / %2...".arg(root.scan.uploaded)
                                  .arg(root.scan.uploaded + root.scan.uploading)
                                : ""
            }
        }

        Item {
            Layout.fillWidth: true
        }
    }
}
