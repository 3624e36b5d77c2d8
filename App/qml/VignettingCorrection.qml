import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Vignetting profile generation and its correction.
CollapsiblePanel {
    id: root

    readonly property bool generating: cameraThread ? cameraThread.vignettingProfileGeneration
                                                    : false
    readonly property bool available: cameraThread ? cameraThread.vignettingCorrectionAvailable
                                                   : false
    property alias enabledCheckBox: enabledCheckBox
    property alias generateButton: generateButton
    property alias progressBar: progressBar

    title: qsTr("Vignetting correction")
    collapsed: true

    Frame {
        Layout.fillWidth: true

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 10

            CheckBox {
                id: enabledCheckBox
                text: qsTr("Enabled")
                enabled: root.available && !root.generating
                checked: enabled && settings.vignettingCorrection
                onToggled: settings.vignettingCorrection = checked
            }

            Button {
                id: generateButton
                Layout.fillWidth: true
                text: root.generating ? qsTr("Cancel profile generation")
                                      : qsTr("Generate vignetting profile")
                onClicked: cameraThread.vignettingProfileGeneration = !root.generating
            }

            Label {
                objectName: "moveLabel"
                Layout.fillWidth: true
                text: qsTr("Move camera in all directions")
                wrapMode: Text.WordWrap
                visible: root.generating
            }

            ProgressBar {
                id: progressBar
                Layout.fillWidth: true
                from: 0
                to: 1
                value: cameraThread ? cameraThread.vignettingProfileProgress : 0
                visible: root.generating
            }
        }
    }
}
