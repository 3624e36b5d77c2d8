import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A titled section whose content (the second child) folds away under its header button.
ColumnLayout {
    id: root

    property string title: ""
    property bool collapsed: false
    property alias headerButton: headerButton

    spacing: 0

    function applyCollapsed() {
        if (children.length > 1)
            children[1].visible = !collapsed;
    }

    onCollapsedChanged: applyCollapsed()
    Component.onCompleted: applyCollapsed()

    Button {
        id: headerButton
        Layout.fillWidth: true
        flat: true
        text: root.title
        icon.source: root.collapsed ? "qrc:/icons/caret-forward.svg" : "qrc:/icons/caret-down.svg"
        onClicked: root.collapsed = !root.collapsed
    }
}
