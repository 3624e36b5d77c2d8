import QtQuick
import QtTest

TestCase {
    id: testCase
    name: "MainWindowRendering"
    when: windowShown

    // The simulated camera's colour, easy to tell from anything the styles draw.
    readonly property color cameraColour: Qt.rgba(200 / 255, 40 / 255, 160 / 255, 1)

    function sameColour(a, b) {
        return Math.abs(a.r - b.r) < 0.02 && Math.abs(a.g - b.g) < 0.02
            && Math.abs(a.b - b.b) < 0.02;
    }

    // Distinct colours on a coarse grid over the picture.
    function colourCount(image, width, height) {
        const seen = {};
        let count = 0;
        for (let y = 5; y < height; y += 25) {
            for (let x = 5; x < width; x += 25) {
                const key = String(image.pixel(x, y));
                if (!seen[key]) {
                    seen[key] = true;
                    ++count;
                }
            }
        }
        return count;
    }

    function checkCameraPicture(win) {
        const view = win.scanView;
        const centre = view.mapToItem(win.contentItem, view.width / 2, view.height / 2);
        const image = grabImage(win.contentItem);
        if (image.width === 0)
            skip("This platform cannot grab a window");
        verify(colourCount(image, win.contentItem.width, win.contentItem.height) >= 3,
               "the window is blank");
        verify(sameColour(image.pixel(centre.x, centre.y), cameraColour),
               "centre of the scan view: " + image.pixel(centre.x, centre.y));
        // Left of the camera picture, inside the scan view, something else is drawn.
        const picture = view.cameraPicture.mapToItem(win.contentItem, 0, 0);
        verify(picture.x > centre.x - view.width / 2 + 5);
        verify(!sameColour(image.pixel(picture.x - 5, centre.y), cameraColour));
        return image;
    }

    function test_welcomeAndRunning() {
        stage.reset();
        stage.api.signIn(true);
        stage.camera.setCameras(["cam-1"]);
        settings.cameraId = "cam-1";
        stage.camera.setFrame(800, 600, 2, 200, 40, 160);
        const component = Qt.createComponent("qrc:/qml/MainWindow.qml");
        verify(component.status === Component.Ready, component.errorString());
        const win = createTemporaryObject(component, testCase);
        verify(win);
        win.requestActivate();
        tryVerify(() => win.active);
        waitForRendering(win.contentItem);

        // Welcome: the drawer on the left, the camera picture in the scan view beside it.
        verify(win.drawer.visible);
        const welcome = checkCameraPicture(win);
        verify(!sameColour(welcome.pixel(200, 400), cameraColour));

        win.startButton.clicked();
        stage.api.answerNewScan(true);
        tryCompare(win, "state", 2);
        tryVerify(() => !win.drawer.visible);
        waitForRendering(win.contentItem);
        checkCameraPicture(win);
    }
}
