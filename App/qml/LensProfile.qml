import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Magnification and the calibrated pixel size.
ColumnLayout {
    id: root
}
