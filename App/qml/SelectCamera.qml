import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Choice of the camera: the cameras the facade found, the stored one selected.
RowLayout {
    id: root

    readonly property bool loading: cameraThread ? cameraThread.availableCamerasLoading : false
    property alias comboBox: comboBox
    property alias refreshButton: refreshButton

    // Rebuilt on every announcement: the list is a value copy, not a live model.
    function rebuild() {
        const cameras = cameraThread ? cameraThread.availableCameras : [];
        const entries = [];
        let selected = -1;
        for (let i = 0; i < cameras.length; ++i) {
            entries.push({"text": cameras[i].description, "value": cameras[i].id});
            if (settings && cameras[i].id === settings.cameraId)
                selected = i;
        }
        comboBox.model = entries;
        comboBox.currentIndex = selected;
    }

    Component.onCompleted: rebuild()

    Connections {
        target: cameraThread
        ignoreUnknownSignals: true
        function onAvailableCamerasChanged() {
            root.rebuild();
        }
    }

    Label {
        text: qsTr("Camera")
    }

    Item {
        Layout.fillWidth: true
        visible: root.loading
    }

    Label {
        objectName: "searchingLabel"
        text: qsTr("Searching for cameras")
        font.bold: true
        visible: root.loading
    }

    Spinner {
        radius: 10
        color: "black"
        running: root.loading
        visible: root.loading
    }

    ComboBox {
        id: comboBox
        Layout.fillWidth: true
        visible: !root.loading
        textRole: "text"
        valueRole: "value"
        displayText: currentIndex < 0 ? qsTr("Select camera") : currentText
        onActivated: index => settings.cameraId = model[index].value
    }

    Button {
        id: refreshButton
        visible: !root.loading
        highlighted: true
        icon.source: "qrc:/icons/sync.svg"
        icon.width: 15
        icon.height: 15
        onClicked: cameraThread.requestAvailableCameras()
    }
}
