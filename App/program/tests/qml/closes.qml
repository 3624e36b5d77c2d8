import QtQuick
import QtQuick.Window

Window {
    id: window
    visible: true
    width: 320
    height: 200

    Timer {
        interval: 100
        running: true
        onTriggered: {
            console.log("settings reachable, service at " + settings.apiUrl)
            window.close()
        }
    }
}
