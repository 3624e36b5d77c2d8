import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Vignetting profile and its correction.
ColumnLayout {
    id: root
}
