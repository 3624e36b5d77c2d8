import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The signed-in user, or the way to sign in, with the service's last error below.
ColumnLayout {
    id: root

    property string errorMessage: ""
    readonly property var user: apiThread ? apiThread.user : null
    readonly property bool hasUser: user !== null && user !== undefined
    property alias logInButton: logInButton
    property alias connectButton: connectButton
    property alias logOutButton: logOutButton
    property alias cancelButton: cancelButton
    property alias errorLabel: errorLabel

    state: {
        if (apiThread && apiThread.isLoading)
            return "loading";
        if (hasUser)
            return "authenticated";
        if (apiThread && apiThread.isLoggedIn)
            return "user-not-loaded";
        return "not-authenticated";
    }

    states: [
        State {
            name: "loading"
        },
        State {
            name: "authenticated"
        },
        State {
            name: "user-not-loaded"
        },
        State {
            name: "not-authenticated"
        }
    ]

    Connections {
        target: apiThread
        ignoreUnknownSignals: true
        function onApiError(message) {
            root.errorMessage = message;
        }
        function onIsLoadingChanged() {
            if (apiThread.isLoading)
                root.errorMessage = "";
        }
        function onUserChanged() {
            if (root.hasUser)
                root.errorMessage = "";
        }
    }

    Item {
        Layout.preferredHeight: 10
        visible: root.state === "not-authenticated"
    }

    Button {
        id: logInButton
        Layout.fillWidth: true
        highlighted: true
        text: qsTr("Log In")
        visible: root.state === "not-authenticated"
        onClicked: apiThread.logIn()
    }

    RowLayout {
        Layout.fillWidth: true
        visible: root.state === "authenticated" || root.state === "user-not-loaded"

        ColumnLayout {
            visible: root.state === "authenticated"
            spacing: 0

            Label {
                objectName: "userName"
                text: root.hasUser ? root.user.firstName + " " + root.user.lastName : ""
                font.bold: true
            }

            Label {
                objectName: "userEmail"
                text: root.hasUser ? root.user.email : ""
                color: "grey"
                font.pointSize: 10
            }
        }

        Button {
            id: connectButton
            highlighted: true
            text: qsTr("Connect to Tavrona")
            visible: root.state === "user-not-loaded"
            onClicked: apiThread.queryUser()
        }

        Item {
            Layout.fillWidth: true
        }

        Button {
            id: logOutButton
            text: qsTr("Log out")
            onClicked: apiThread.logOut()
        }
    }

    RowLayout {
        Layout.fillWidth: true
        visible: root.state === "loading"

        Label {
            Layout.fillWidth: true
            text: qsTr("Confirm login in web browser")
            wrapMode: Text.WordWrap
        }

        Spinner {
            radius: 10
            color: "black"
            running: root.state === "loading"
        }

        Button {
            id: cancelButton
            text: qsTr("Cancel")
            onClicked: apiThread.cancelLogIn()
        }
    }

    Label {
        id: errorLabel
        Layout.fillWidth: true
        visible: root.state !== "authenticated" && root.errorMessage !== ""
        text: root.errorMessage
        color: "white"
        wrapMode: Text.Wrap
        padding: 5
        leftPadding: 10
        rightPadding: 10
        background: Rectangle {
            color: "#ed5353"
            radius: 4
        }
    }
}
