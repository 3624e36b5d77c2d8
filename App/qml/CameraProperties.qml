import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Editors of the open camera's features.
ColumnLayout {
    id: root

    enum PropertyType {
        Integer = 0,
        Real = 1,
        Boolean = 2,
        Trigger = 3,
        String = 4,
        Enumeration = 5
    }
}
