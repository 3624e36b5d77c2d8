import QtQuick
import QtQuick.Window
import ProgramTest

Window {
    id: window
    visible: true
    width: 320
    height: 200

    Component.onCompleted: Probe.throwInWorker("boom in worker")

    Timer {
        interval: 400
        running: true
        onTriggered: {
            console.log("still running")
            window.close()
        }
    }
}
