import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Saving the finished scan on the service.
ColumnLayout {
    id: root

    property var scan: apiThread ? apiThread.currentScan : null
    property bool isSaving: false
    property string statusText: ""

    signal message(string msg)
}
