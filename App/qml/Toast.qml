import QtQuick

// One message: fades in, stays, fades out, and then stays in the list invisible.
Rectangle {
    id: root

    required property string text
    // Raised to what the two fades take (the manager gives 3000 when none is given).
    required property int duration
    readonly property int fadeDuration: 300
    readonly property int shownDuration: Math.max(duration, 2 * fadeDuration)
    readonly property int totalDuration: 2 * fadeDuration + stay.duration
    property alias animation: animation

    height: label.implicitHeight + 10
    radius: 10
    color: "#222222"
    opacity: 0

    Text {
        id: label
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 5
        text: root.text
        color: "white"
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
    }

    SequentialAnimation {
        id: animation
        running: true

        NumberAnimation {
            target: root
            property: "opacity"
            to: 0.9
            duration: root.fadeDuration
        }
        PauseAnimation {
            id: stay
            duration: root.shownDuration - 2 * root.fadeDuration
        }
        NumberAnimation {
            target: root
            property: "opacity"
            to: 0
            duration: root.fadeDuration
        }
    }
}
