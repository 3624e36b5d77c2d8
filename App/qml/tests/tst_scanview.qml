import QtQuick
import QtTest

// The test case item itself is never visible, so the views under test hang off this one.
Item {
    id: stageItem
    width: 400
    height: 300

TestCase {
    id: testCase
    name: "ScanView"
    when: windowShown

    SignalSpy {
        id: messageSpy
        signalName: "message"
    }

    SignalSpy {
        id: finishedSpy
        signalName: "calibrationFinished"
    }

    function load(url, properties) {
        const component = Qt.createComponent(url);
        verify(component.status === Component.Ready, component.errorString());
        const object = createTemporaryObject(component, stageItem, properties);
        verify(object, url);
        return object;
    }

    function createView() {
        const view = load("qrc:/qml/ScanView.qml", {width: 400, height: 300});
        messageSpy.clear();
        messageSpy.target = view;
        finishedSpy.clear();
        finishedSpy.target = view;
        return view;
    }

    function init() {
        stage.reset();
    }

    function test_zoomBounds() {
        const view = createView();
        compare(view.relativeScale, 0.9);
        for (let i = 0; i < 100; ++i)
            view.zoomIn();
        verify(view.relativeScale >= 5 && view.relativeScale < 5 * 1.1, view.relativeScale);
        for (let i = 0; i < 200; ++i)
            view.zoomOut();
        verify(view.relativeScale <= 0.1 && view.relativeScale > 0.1 / 1.1, view.relativeScale);

        view.reset(true);
        compare(view.relativeScale, 0.5);
        keyClick(Qt.Key_Equal);
        fuzzyCompare(view.relativeScale, 0.55, 1e-9);
        keyClick(Qt.Key_Minus);
        fuzzyCompare(view.relativeScale, 0.5, 1e-9);
        view.reset(false);
        compare(view.relativeScale, 0.9);
    }

    function test_previewSizeBeforeAnyFrame() {
        const view = createView();
        // No frame yet: the camera's scale factors are NaN and the picture has no size.
        verify(isNaN(cameraThread.imageScaleX));
        compare(view.previewWidth, 0);
        verify(isFinite(view.imageScale));
        compare(view.imageScale, 0.9 * 300);
        const sent = stage.small.viewSize();
        verify(isFinite(sent.width) && sent.width > 0, sent.width);

        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        compare(view.previewWidth, 400);
        compare(view.previewHeight, 300);
        fuzzyCompare(view.imageScale, 0.9, 1e-9);
        fuzzyCompare(stage.small.viewSize().width, 400 / 0.9, 1e-6);
        view.showCamera = true;
        fuzzyCompare(view.cameraPicture.width, 360, 1e-6);
        fuzzyCompare(view.cameraPicture.height, 270, 1e-6);
    }

    function test_closeUpOnlyBelowFullResolution() {
        const view = createView();
        view.showCamera = true;
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        // 0.9 view pixels per small-image pixel, two full-resolution pixels per small one.
        verify(view.ratioX < 1);
        verify(view.closeUp.visible);
        compare(view.closeUp.region, Qt.rect(325, 225, 150, 150));
        view.relativeScale = 2.2;
        verify(view.ratioX >= 1);
        verify(!view.closeUp.visible);
    }

    function test_mosaicClicksInSmallImagePixels() {
        const view = createView();
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        view.relativeScale = 2;
        // The camera picture is hidden, so the click reaches the mosaic.
        mouseClick(view, 100, 50);
        verify(calls.calls.indexOf("small.mouseClick(50,25)") >= 0, calls.calls);
    }

    function test_calibrationTooSmall() {
        const view = createView();
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        view.showCamera = true;
        view.calibrating = true;
        view.startCalibration();
        mouseClick(view.cameraPicture, 50, 50);
        compare(view.calibrationStatus, 1);
        mouseClick(view.cameraPicture, 50, 50);
        compare(messageSpy.count, 1);
        compare(messageSpy.signalArguments[0][0], "The distance between A and B is too small");
        compare(view.calibrationStatus, 1);
        verify(!view.distanceDialog.visible);
    }

    function test_calibrationInput_data() {
        return [
            {tag: "comma", text: "0,5", valid: true},
            {tag: "point", text: "0.5", valid: true},
            {tag: "empty", text: "", valid: false},
            {tag: "zero", text: "0", valid: false},
            {tag: "negative", text: "-1", valid: false},
            {tag: "word", text: "abc", valid: false},
            {tag: "two commas", text: "1,5,3", valid: false},
        ];
    }

    function test_calibrationInput(data) {
        const view = createView();
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        view.relativeScale = 1;
        view.showCamera = true;
        view.calibrating = true;
        view.startCalibration();
        // One view pixel per small-image pixel, two full-resolution pixels per small one:
        // 125 view pixels apart are 250 full-resolution pixels.
        mouseClick(view.cameraPicture, 10, 100);
        mouseClick(view.cameraPicture, 135, 100);
        compare(view.calibrationStatus, 2);
        tryVerify(() => view.distanceDialog.opened);
        const dialog = view.distanceDialog;
        dialog.input.text = data.text;
        compare(dialog.valid, data.valid);
        compare(findChild(dialog.footer, "distanceOk").enabled, data.valid);
        compare(findChild(dialog.contentItem, "invalidInput").visible,
                data.text !== "" && !data.valid);
        mouseClick(findChild(dialog.footer, "distanceOk"));
        if (!data.valid) {
            // A disabled OK does nothing; only Cancel gets out.
            verify(dialog.visible);
            mouseClick(findChild(dialog.footer, "distanceCancel"));
        }
        tryVerify(() => !dialog.visible);
        compare(settings.mpp, data.valid ? (500 / 250).toFixed(5) : "");
        if (data.text === "0,5")
            compare(settings.mpp, "2.00000");
        compare(view.calibrationStatus, 0);
        compare(finishedSpy.count, 1);
    }

    function test_calibrationCancelled() {
        const view = createView();
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        view.showCamera = true;
        view.calibrating = true;
        view.startCalibration();
        mouseClick(view.cameraPicture, 10, 10);
        mouseClick(view.cameraPicture, 200, 100);
        tryVerify(() => view.distanceDialog.opened);
        view.distanceDialog.input.text = "3";
        view.distanceDialog.reject();
        tryVerify(() => !view.distanceDialog.visible);
        compare(settings.mpp, "");
        compare(view.calibrationStatus, 0);
        compare(finishedSpy.count, 1);
    }

    function test_scaleBar_data() {
        return [
            {tag: "far below 10 µm", mpp: 0.01, label: "10 µm"},
            {tag: "10 µm", mpp: 0.05, label: "10 µm"},
            {tag: "50 µm", mpp: 0.25, label: "50 µm"},
            {tag: "100 µm", mpp: 1.25, label: "100 µm"},
            {tag: "500 µm", mpp: 2.5, label: "500 µm"},
            {tag: "1 mm", mpp: 5, label: "1 mm"},
            {tag: "5 mm", mpp: 25, label: "5 mm"},
            {tag: "10 mm", mpp: 50, label: "10 mm"},
            {tag: "above 10 mm", mpp: 500, label: "10 mm"},
        ];
    }

    function test_scaleBar(data) {
        const bar = load("qrc:/qml/ScaleBar.qml", {mpp: data.mpp, maxWidth: 200});
        compare(findChild(bar, "scaleBarLabel").children[0].text, data.label);
        fuzzyCompare(bar.barLength, bar.lengthMm * 1000 / data.mpp, 1e-9);
        if (data.mpp === 1.25)
            fuzzyCompare(bar.barLength, 80, 1e-9);
        verify(bar.barLength <= 200 || data.mpp < 0.05);
    }

    function test_scaleBarFollowsCalibration() {
        const view = createView();
        stage.camera.setFrame(800, 600, 2, 10, 20, 30);
        view.showCamera = true;
        verify(!view.scaleBar.visible);
        settings.mpp = "2.00000";
        verify(view.scaleBar.visible);
        // 0.45 view pixels per full-resolution pixel.
        fuzzyCompare(view.scaleBar.mpp, 2 / 0.45, 1e-9);
        view.calibrating = true;
        verify(!view.scaleBar.visible);
    }

    function test_ruler_data() {
        return [
            {tag: "50 µm", length: 50, label: "50 µm"},
            {tag: "1.23 mm", length: 1234, label: "1.23 mm"},
            {tag: "0.1 mm", length: 100, label: "0.10 mm"},
        ];
    }

    function test_ruler(data) {
        const ruler = load("qrc:/qml/Ruler.qml", {
            mpp: 1,
            pointA: Qt.point(0, 10),
            pointB: Qt.point(data.length * 0.6, 10 + data.length * 0.8)
        });
        const label = findChild(ruler, "rulerLabel");
        verify(label.visible);
        compare(label.children[0].text, data.label);
    }

    function test_rulerToolMeasures() {
        const view = createView();
        view.rulerTool = true;
        mousePress(view, 10, 20);
        mouseMove(view, 60, 20, -1, Qt.LeftButton);
        compare(view.rulerStart, Qt.point(10, 20));
        compare(view.rulerEnd, Qt.point(60, 20));
        verify(view.rulerVisible);
        mouseRelease(view, 60, 20);
        mousePress(view, 30, 30, Qt.RightButton);
        verify(!view.rulerVisible);
        mouseRelease(view, 30, 30, Qt.RightButton);
        // With the ruler on, the mosaic gets no clicks.
        verify(calls.calls.every(call => !call.startsWith("small.mouse")), calls.calls);
    }

    function test_outOfSyncTurnsTheFrameRed() {
        const view = createView();
        smallBuilderThread.running = true;
        view.showCamera = true;
        compare(view.borderColor, Qt.color("green"));
        stage.small.setOutOfSync(true);
        verify(view.prevOutOfSync);
        compare(view.borderColor, Qt.color("red"));
        compare(view.outOfSyncSound.volume, 0.5);
        stage.small.setOutOfSync(false);
        verify(!view.prevOutOfSync);
    }
}
}
