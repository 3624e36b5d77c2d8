import QtQml

// A camera property as the camera facade hands it over (CameraPropertyFrontend); `writes`, the
// test's own, records every value written. tst_standins holds the names to the real class.
QtObject {
    property string name: "Gain"
    property var type: 0
    property var value: 0
    property var min: 0
    property var max: 100
    property var step: 1
    property var options: []
    property bool logScale: false
    property bool active: true
    property var writes: []
    onValueChanged: writes.push(value)
}
