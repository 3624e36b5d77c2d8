import QtQuick

// The photos of a series, newest first.
Flow {
    id: root

    property int snapshotSize: 90

    function addSnapshot(image) {
        images.insert(0, {"image": image});
    }

    function clear() {
        images.clear();
    }

    spacing: 5

    ListModel {
        id: images
    }

    Repeater {
        model: images
        CvImageWrapper {
            required property var image
            width: root.snapshotSize
            height: root.snapshotSize
        }
    }
}
