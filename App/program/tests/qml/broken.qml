import QtQuick
import QtQuick.Window

Window {
    visible: true
    width: 320
    height: 200
    this is not QML
}
