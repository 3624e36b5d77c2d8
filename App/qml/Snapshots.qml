import QtQuick

// The photos of a series, newest first.
Flow {
    id: root

    property int snapshotSize: 90
    property var images: []
    readonly property int count: images.length

    function addSnapshot(image) {
        images = [image].concat(images);
    }

    function clear() {
        images = [];
    }

    spacing: 5

    Repeater {
        model: root.images

        CvImageWrapper {
            required property var modelData
            image: modelData
            width: root.snapshotSize
            height: root.snapshotSize
        }
    }
}
