import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The signed-in user, or the way to sign in.
ColumnLayout {
    id: root
    property string errorMessage: ""
}
