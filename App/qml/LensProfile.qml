import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Lens magnification and the calibrated pixel size for it.
CollapsiblePanel {
    id: root

    readonly property var magnifications: ["2", "2.5", "4", "5", "10", "20", "40"]
    readonly property bool hasCalibration: settings ? parseFloat(settings.mpp) > 0 : false
    readonly property string densityText: hasCalibration ? settings.mpp + " μm/px" : "N/A"
    property alias magnificationBox: magnificationBox
    property alias calibrateButton: calibrateButton

    // The calibration itself runs in the main window's Calibrate state.
    signal calibrate()

    title: qsTr("Lens properties")

    Frame {
        Layout.fillWidth: true

        GridLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            columns: 3

            Label {
                text: qsTr("Magnification")
            }

            ComboBox {
                id: magnificationBox
                Layout.alignment: Qt.AlignRight
                model: root.magnifications
                Component.onCompleted: currentIndex = root.magnifications.indexOf(settings.magnification)
                onActivated: index => settings.magnification = root.magnifications[index]
            }

            Label {
                text: "x"
            }

            Label {
                text: qsTr("Pixel density")
            }

            Label {
                objectName: "densityLabel"
                Layout.alignment: Qt.AlignRight
                text: root.densityText
                font.italic: true
            }

            Button {
                id: calibrateButton
                icon.source: "qrc:/icons/options.svg"
                hoverEnabled: true
                ToolTip.visible: hovered
                ToolTip.text: qsTr("Calibrate")
                onClicked: {
                    root.calibrate();
                    const main = root.ApplicationWindow.window;
                    if (main && main.state !== undefined)
                        main.state = MainWindow.Calibrate;
                }
            }
        }
    }
}
