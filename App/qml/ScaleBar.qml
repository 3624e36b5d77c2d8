import QtQuick

// A bar of a round length (10 µm … 10 mm) that fits in maxWidth at the given scale.
Item {
    id: root

    // Micrometres per view pixel.
    property real mpp: 1
    property real maxWidth: 200

    readonly property var lengthsMm: [0.01, 0.05, 0.1, 0.5, 1, 5, 10]
    readonly property real lengthMm: {
        const maxMm = maxWidth * mpp / 1000;
        let chosen = lengthsMm[0];
        for (let i = 0; i < lengthsMm.length; ++i) {
            if (lengthsMm[i] <= maxMm)
                chosen = lengthsMm[i];
        }
        return chosen;
    }
    readonly property real barLength: mpp > 0 ? lengthMm * 1000 / mpp : 0
    readonly property string label: lengthMm < 1 ? (lengthMm * 1000).toFixed(0) + " µm"
                                                 : lengthMm.toFixed(0) + " mm"

    width: maxWidth
    height: 30

    Ruler {
        id: bar
        anchors.fill: parent
        mpp: root.mpp
        showDistance: false
        pointA: Qt.point((root.width - root.barLength) / 2, root.height - 4)
        pointB: Qt.point((root.width + root.barLength) / 2, root.height - 4)
    }

    Rectangle {
        id: labelBox
        objectName: "scaleBarLabel"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 4 + 2 + 3
        width: labelText.implicitWidth + 10
        height: labelText.implicitHeight + 6
        radius: 4
        color: Qt.rgba(0, 0, 0, 0.7)

        Text {
            id: labelText
            anchors.centerIn: parent
            text: root.label
            color: "white"
            font.bold: true
            font.pixelSize: 12
        }
    }
}
