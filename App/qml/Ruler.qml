import QtQuick

// A measured line between two points, labelled with its length.
Item {
    id: root

    // Micrometres per view pixel.
    property real mpp: 1
    property point pointA
    property point pointB
    property color lineColor: "black"
    property color textColor: "white"
    property real lineWidth: 2
    property bool showDistance: true

    readonly property real distance: Math.sqrt(Math.pow(pointB.x - pointA.x, 2)
                                               + Math.pow(pointB.y - pointA.y, 2))
    readonly property real distanceMm: distance * mpp / 1000
    readonly property string label: distanceMm < 0.1 ? (distanceMm * 1000).toFixed(0) + " µm"
                                                     : distanceMm.toFixed(2) + " mm"

    Rectangle {
        x: root.pointA.x
        y: root.pointA.y - root.lineWidth / 2
        width: root.distance
        height: root.lineWidth
        color: root.lineColor
        transformOrigin: Item.Left
        rotation: Math.atan2(root.pointB.y - root.pointA.y,
                             root.pointB.x - root.pointA.x) * 180 / Math.PI
    }

    Repeater {
        model: [root.pointA, root.pointB]
        Rectangle {
            required property point modelData
            x: modelData.x - 3
            y: modelData.y - 3
            width: 6
            height: 6
            radius: 3
            color: root.lineColor
            visible: root.distance > 0
        }
    }

    Rectangle {
        objectName: "rulerLabel"
        visible: root.showDistance && root.distance > 0
        x: (root.pointA.x + root.pointB.x) / 2 - width / 2
        y: (root.pointA.y + root.pointB.y) / 2 - height / 2
        width: distanceText.implicitWidth + 10
        height: distanceText.implicitHeight + 6
        radius: 4
        color: Qt.rgba(0, 0, 0, 0.7)

        Text {
            id: distanceText
            anchors.centerIn: parent
            text: root.label
            color: root.textColor
            font.bold: true
            font.pixelSize: 12
        }
    }
}
