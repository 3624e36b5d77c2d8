import QtQuick

// Short messages over the window, newest on top; the older ones slide down to make room.
ListView {
    id: root

    function show(text, duration) {
        toasts.insert(0, {
            "text": text,
            "duration": duration === undefined || duration === null ? 3000 : duration
        });
    }

    spacing: 5
    interactive: false

    model: ListModel {
        id: toasts
    }

    displaced: Transition {
        NumberAnimation {
            property: "y"
            easing.type: Easing.InOutQuad
        }
    }

    delegate: Toast {
        x: 10
        width: ListView.view.width - 20
    }
}
