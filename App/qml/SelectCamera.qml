import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Choice of the camera.
RowLayout {
    id: root

    Label {
        text: qsTr("Camera")
    }
}
