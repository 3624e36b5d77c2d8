import QtQuick

// A busy indicator of dots running round a circle.
Item {
    id: root

    property real radius: 25
    property bool useDouble: false
    property bool running: true
    property color color: "white"

    width: 2 * radius
    height: 2 * radius
}
