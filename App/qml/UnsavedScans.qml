import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Dialogs
import QuickFuture
import Mireva

// The scans not saved yet besides the one the save panel shows: those an earlier run of the
// program left behind and those a new scan closed. Each says how far it has got and can be saved
// under a name, or discarded after a confirmation.
ColumnLayout {
    id: root

    // The scan the save panel shows, left out here.
    property var shownElsewhere: null
    readonly property var entries: {
        const list = apiThread ? apiThread.scans : [];
        const result = [];
        for (let i = 0; i < list.length; ++i) {
            const scan = list[i];
            if (scan && scan !== shownElsewhere && scan.status !== Scan.SAVED)
                result.push(scan);
        }
        return result;
    }
    property alias discardDialog: discardDialog
    property alias repeater: repeater

    signal message(string msg)

    visible: entries.length > 0
    spacing: 6

    // "10:42" for a scan of today, the day as well for an older one.
    function timeText(date) {
        if (!date || isNaN(date.getTime()))
            return "?";
        const today = new Date();
        if (date.toDateString() === today.toDateString())
            return Qt.formatTime(date, "hh:mm");
        return Qt.formatDateTime(date, "d MMM hh:mm");
    }

    function summary(scan) {
        const time = timeText(scan.startedAt);
        if (scan.failed)
            return qsTr("Scan of %1: the upload failed (%2)").arg(time).arg(scan.error);
        if (scan.saving)
            return qsTr("Scan of %1: saving as %2").arg(time).arg(scan.saveName);
        if (scan.waitingForLogIn && scan.owner !== "")
            return qsTr("Scan of %1: waiting for %2 to log in").arg(time).arg(scan.owner);
        if (scan.uploading === 1)
            return qsTr("Scan of %1: 1 file to upload").arg(time);
        if (scan.uploading > 1)
            return qsTr("Scan of %1: %n files to upload", "", scan.uploading).arg(time);
        if (scan.status === Scan.UPLOADED)
            return qsTr("Scan of %1: uploaded, not saved").arg(time);
        return qsTr("Scan of %1: preparing the upload").arg(time);
    }

    function save(scan, name) {
        Future.promise(apiThread.saveScan(scan.containerId, name)).then(function () {
            if (root)
                root.message(qsTr("Saved scan %1").arg(name));
        }, function (error) {
            if (root)
                root.message(qsTr("Failed to save %1: %2").arg(name)
                             .arg(error === undefined ? "" : String(error)));
        });
    }

    function askDiscard(scan) {
        discardDialog.scan = scan;
        discardDialog.open();
    }

    Label {
        Layout.fillWidth: true
        text: qsTr("Unsaved scans")
        font.pointSize: 12
        wrapMode: Text.WordWrap
    }

    Repeater {
        id: repeater
        model: root.entries

        delegate: ColumnLayout {
            id: entry

            required property var modelData
            property alias nameField: nameField
            property alias saveButton: saveButton
            property alias discardButton: discardButton

            Layout.fillWidth: true
            spacing: 2

            Label {
                objectName: "summary"
                Layout.fillWidth: true
                text: root.summary(entry.modelData)
                wrapMode: Text.WordWrap
            }

            RowLayout {
                Layout.fillWidth: true

                TextField {
                    id: nameField
                    Layout.fillWidth: true
                    selectByMouse: true
                    placeholderText: qsTr("Scan name")
                    // A name asked for before is used by itself.
                    text: entry.modelData.saveName
                    enabled: !entry.modelData.saving && !entry.modelData.failed
                    onAccepted: if (text !== "") root.save(entry.modelData, text)
                }

                Button {
                    id: saveButton
                    text: qsTr("Save")
                    icon.source: "qrc:/icons/save.svg"
                    enabled: nameField.text !== "" && !entry.modelData.saving
                             && !entry.modelData.failed
                    onClicked: root.save(entry.modelData, nameField.text)
                }

                Button {
                    id: discardButton
                    text: qsTr("Discard")
                    onClicked: root.askDiscard(entry.modelData)
                }
            }
        }
    }

    MessageDialog {
        id: discardDialog

        property var scan: null

        text: qsTr("Discard the scan of %1?").arg(scan ? root.timeText(scan.startedAt) : "")
        informativeText: qsTr("Its files are deleted from this computer, and it is not saved.")
        buttons: MessageDialog.Ok | MessageDialog.Cancel
        onAccepted: {
            if (scan)
                apiThread.discardScan(scan.containerId);
            scan = null;
        }
        onRejected: scan = null
    }
}
