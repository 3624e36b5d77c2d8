import QtQuick

// Short messages over the window, newest on top.
ListView {
    id: root

    function show(text, duration) {
        toasts.insert(0, {"text": text, "duration": duration === undefined ? 3000 : duration});
    }

    spacing: 5
    interactive: false

    model: ListModel {
        id: toasts
    }

    delegate: Rectangle {
        required property string text
        width: ListView.view.width - 20
        x: 10
        height: toastText.implicitHeight + 10
        radius: 10
        color: "#222222"

        Text {
            id: toastText
            anchors.fill: parent
            anchors.margins: 5
            text: parent.text
            color: "white"
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
        }
    }
}
