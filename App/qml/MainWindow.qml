import QtQuick
import QtQuick.Controls

// Placeholder main window until the scanning screens arrive.
ApplicationWindow {
    visible: true
    width: 1024
    height: 768
    title: "Mireva"

    Label {
        anchors.centerIn: parent
        text: qsTr("Mireva")
    }
}
