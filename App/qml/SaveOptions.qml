import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QuickFuture
import Mireva

// Saving the finished scan on the service under a name, and opening it there.
ColumnLayout {
    id: root

    property var scan: apiThread ? apiThread.currentScan : null
    property bool isSaving: false
    property string statusText: ""
    readonly property bool saved: scan ? scan.status === Scan.SAVED : false
    // How a URL reaches the system browser; a seam for tests that must not start one.
    property var openUrl: function (url) {
        Qt.openUrlExternally(url);
    }
    property alias nameField: nameField
    property alias autoOpenCheckBox: autoOpenCheckBox
    property alias saveButton: saveButton
    property alias openButton: openButton

    signal message(string msg)

    function save(text) {
        const name = text;
        const future = apiThread.saveScan(scan.containerId, name);
        statusText = qsTr("Saving scan");
        isSaving = true;
        // The panel may be gone when the service answers.
        Future.promise(future).then(function (url) {
            if (!root)
                return;
            root.message(qsTr("Saved scan %1").arg(name));
            root.statusText = qsTr("Saved as %1").arg(name);
            root.isSaving = false;
            // No address: the service gave one the program does not open (and said so).
            if (autoOpenCheckBox.checked && url)
                root.openUrl(url);
        }, function (error) {
            if (!root)
                return;
            root.message(qsTr("Failed to save %1: %2").arg(name).arg(error === undefined ? ""
                                                                                        : String(error)));
            root.statusText = qsTr("Error");
            root.isSaving = false;
        });
    }

    Connections {
        target: apiThread
        ignoreUnknownSignals: true
        function onCurrentScanChanged() {
            root.isSaving = false;
            root.statusText = "";
        }
    }

    Label {
        Layout.fillWidth: true
        text: qsTr("Save scan to Tavrona")
        font.pointSize: 12
        wrapMode: Text.WordWrap
    }

    Label {
        Layout.fillWidth: true
        text: qsTr("Enter the scan name")
        wrapMode: Text.WordWrap
    }

    TextField {
        id: nameField
        Layout.fillWidth: true
        selectByMouse: true
        onAccepted: root.save(text)
    }

    CheckBox {
        id: autoOpenCheckBox
        Layout.alignment: Qt.AlignHCenter
        text: qsTr("Open scan after saving")
        checked: settings ? settings.autoOpen : false
        onToggled: settings.autoOpen = checked
    }

    Button {
        id: saveButton
        Layout.fillWidth: true
        highlighted: true
        text: qsTr("Save")
        icon.source: "qrc:/icons/save.svg"
        visible: !root.saved
        // A scan whose file the service refused for good cannot be whole on the service.
        enabled: nameField.text !== "" && !root.isSaving && !(root.scan && root.scan.failed)
        onClicked: root.save(nameField.text)
    }

    Button {
        id: openButton
        Layout.fillWidth: true
        highlighted: true
        text: qsTr("Open Scan")
        icon.source: "qrc:/icons/open.svg"
        visible: root.saved
        enabled: root.saved && root.scan.viewUrl !== ""
        onClicked: root.openUrl(root.scan.viewUrl)
    }

    Label {
        objectName: "failureLabel"
        Layout.fillWidth: true
        visible: root.scan ? root.scan.failed : false
        text: root.scan ? qsTr("The upload failed: %1").arg(root.scan.error) : ""
        color: "firebrick"
        wrapMode: Text.WordWrap
    }

    Label {
        objectName: "statusLabel"
        Layout.fillWidth: true
        text: root.statusText
        horizontalAlignment: Text.AlignHCenter
        color: "grey"
        font.pointSize: 10
        wrapMode: Text.WordWrap
    }

    Item {
        Layout.preferredHeight: 10
    }
}
