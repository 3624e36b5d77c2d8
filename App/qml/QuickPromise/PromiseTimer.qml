import QtQuick 2.0

// The library starts one of these for every deferred call and every setTimeout.
Timer {
    interval: 0
    running: false
    repeat: false
}
