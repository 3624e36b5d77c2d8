import QtQuick

// A busy indicator of dots running round a circle, started one after another.
Item {
    id: root

    property real radius: 25
    property bool useDouble: false
    property bool running: true
    property color color: "white"

    readonly property int count: useDouble ? 10 : 4
    readonly property real orbit: 0.7 * radius
    readonly property real unit: (radius - orbit) * 0.5
    property int started: 0

    width: 2 * radius
    height: 2 * radius

    Timer {
        interval: 100
        repeat: true
        running: root.started < root.count
        onTriggered: root.started += 1
    }

    Repeater {
        id: dots
        model: root.count

        Rectangle {
            id: dot
            required property int index
            readonly property real startAngle: root.useDouble && index >= root.count / 2 ? 270 : 90
            property real angle: startAngle
            readonly property real size: root.useDouble
                                         ? root.unit * 0.5 * (root.count / 2 - Math.abs(root.count / 2 - index))
                                         : root.unit * 0.5 * (root.count - index)

            width: size
            height: size
            radius: size / 2
            color: root.color
            x: root.radius + root.orbit * Math.cos(angle * Math.PI / 180) - size / 2
            y: root.radius + root.orbit * Math.sin(angle * Math.PI / 180) - size / 2

            SequentialAnimation {
                running: dot.index < root.started
                paused: running && !root.running
                loops: Animation.Infinite

                NumberAnimation {
                    target: dot
                    property: "angle"
                    from: dot.startAngle
                    to: dot.startAngle + 360
                    duration: root.useDouble ? 1800 : 1000
                    easing.type: Easing.OutQuad
                }
                PauseAnimation {
                    duration: 500
                }
            }
        }
    }
}
