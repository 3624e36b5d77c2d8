import QtQuick
import Mireva

// A CvImage that knows its natural size, so layouts can size it from the picture (or from the
// part of it that is shown).
Item {
    id: root

    property var image
    property rect region
    readonly property int imageWidth: cvImage.imageWidth
    readonly property int imageHeight: cvImage.imageHeight
    readonly property bool regionValid: region.width > 0 && region.height > 0

    implicitWidth: regionValid ? region.width : imageWidth
    implicitHeight: regionValid ? region.height : imageHeight

    CvImage {
        id: cvImage
        anchors.fill: parent
        region: root.region
    }

    // Until a picture arrives there is nothing to hand over (undefined is no matrix).
    Binding {
        target: cvImage
        property: "image"
        value: root.image
        when: root.image !== undefined && root.image !== null
    }
}
