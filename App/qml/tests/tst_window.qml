import QtQuick
import QtTest

TestCase {
    id: testCase
    name: "MainWindow"
    when: windowShown

    // MainWindow.State, in order.
    readonly property int welcome: 0
    readonly property int initializing: 1
    readonly property int running: 2
    readonly property int paused: 3
    readonly property int nextPart: 4
    readonly property int finished: 5
    readonly property int calibrate: 6
    readonly property int snapshot: 7

    property var win

    function init() {
        stage.reset();
        stage.api.signIn(true);
        stage.camera.setCameras(["cam-1", "cam-2"]);
        settings.cameraId = "cam-2";
        settings.magnification = "20";
        stage.camera.setFrame(800, 600, 2, 200, 40, 160);
        const component = Qt.createComponent("qrc:/qml/MainWindow.qml");
        verify(component.status === Component.Ready, component.errorString());
        win = createTemporaryObject(component, testCase);
        verify(win);
        win.requestActivate();
        tryVerify(() => win.active);
        calls.clear();
    }

    // Any text the user can see anywhere in the window, toasts included.
    function findVisibleText(item, text) {
        if (!item || !item.visible)
            return false;
        if (item.text === text && item.opacity > 0)
            return true;
        for (let i = 0; i < item.children.length; ++i) {
            if (findVisibleText(item.children[i], text))
                return true;
        }
        return false;
    }

    function textShown(text) {
        return findVisibleText(win.contentItem.parent, text);
    }

    // Goes through the real buttons to a running scan.
    function startScan() {
        win.startButton.clicked();
        compare(win.state, initializing);
        stage.api.answerNewScan(true);
        tryCompare(win, "state", running);
    }

    function test_wholeScanCallsInOrder() {
        win.startButton.clicked();
        compare(win.state, initializing);
        compare(calls.calls, ["small.running=false", "api.startNewScan"]);
        stage.api.answerNewScan(true);
        tryCompare(win, "state", running);
        compare(win.scanView.relativeScale, 0.5);
        win.topBar.pause();
        compare(win.state, paused);
        win.startButton.clicked();
        compare(win.state, running);
        win.topBar.nextPart();
        compare(win.state, nextPart);
        win.scanView.zoomIn();
        win.startButton.clicked();
        compare(win.state, running);
        compare(win.scanView.relativeScale, 0.5);
        win.topBar.finish();
        compare(win.state, finished);
        compare(calls.calls, [
            "small.running=false", "api.startNewScan",
            "small.running=true", "camera.beginScanning",
            "small.running=false",
            "small.running=true",
            "small.running=false", "small.reset", "big.finishImage", "camera.endScanning",
            "small.running=true", "camera.beginScanning",
            "small.running=false", "big.finish(,20)", "camera.endScanning",
        ]);
    }

    function test_finishFromRunningEndsScanningOnce() {
        settings.mpp = "1.50000";
        startScan();
        win.topBar.rulerTool = true;
        calls.clear();
        win.topBar.finish();
        compare(calls.count("camera.endScanning"), 1);
        compare(calls.count("big.finish(1.50000,20)"), 1);
        verify(!win.topBar.rulerTool);
    }

    function test_transitions_data() {
        return [
            {tag: "Welcome, calibrate", from: welcome, act: "calibrate", to: calibrate},
            {tag: "Calibrate, dialog closes", from: calibrate, act: "closeDialog", to: welcome},
            {tag: "Running, header Pause", from: running, act: "headerPause", to: paused},
            {tag: "Running, header Finish", from: running, act: "headerFinish", to: finished},
            {tag: "Running, header Next part", from: running, act: "headerNextPart", to: nextPart},
            {tag: "Paused, Resume", from: paused, act: "start", to: running},
            {tag: "Paused, Next part", from: paused, act: "nextPart", to: nextPart},
            {tag: "Paused, Finish", from: paused, act: "finish", to: finished},
            {tag: "NextPart, Finish", from: nextPart, act: "finish", to: finished},
            {tag: "Snapshot, Finish", from: snapshot, act: "finish", to: finished},
            {tag: "NextPart, Start", from: nextPart, act: "start", to: running},
            {tag: "Snapshot, Take photo", from: snapshot, act: "photo", to: snapshot},
        ];
    }

    function test_transitions(data) {
        win.state = data.from;
        calls.clear();
        switch (data.act) {
        case "calibrate":
            settings.mpp = "1.00000";
            verify(win.lensProfile.visible);
            win.lensProfile.calibrateButton.clicked();
            compare(win.state, calibrate);
            compare(win.scanView.calibrationStatus, 0);
            verify(win.scanView.calibrating);
            tryVerify(() => !win.drawer.visible);
            break;
        case "closeDialog":
            win.scanView.distanceDialog.open();
            tryVerify(() => win.scanView.distanceDialog.opened);
            win.scanView.distanceDialog.reject();
            break;
        case "headerPause":
            win.topBar.pauseButton.clicked();
            break;
        case "headerFinish":
            win.topBar.finishButton.clicked();
            break;
        case "headerNextPart":
            win.topBar.nextPartButton.clicked();
            break;
        case "start":
            win.startButton.clicked();
            break;
        case "nextPart":
            verify(win.nextPartButton.visible);
            win.nextPartButton.clicked();
            break;
        case "finish":
            verify(win.finishButton.visible);
            win.finishButton.clicked();
            break;
        case "photo":
            win.photoButton.clicked();
            compare(calls.calls, ["big.addSnapshot(800x600)"]);
            break;
        }
        tryCompare(win, "state", data.to);
        compare(win.prevState, data.to);
    }

    function test_failedNewScanReturnsToWelcome() {
        win.photoButton.clicked();
        compare(win.state, initializing);
        compare(win.startButton.text, "Initializing");
        verify(!win.startButton.enabled);
        verify(!win.photoButton.enabled);
        // Space is dead while the scan is being created.
        keyClick(Qt.Key_Space);
        compare(calls.count("api.startNewScan"), 1);
        stage.api.answerNewScan(false);
        tryCompare(win, "state", welcome);
        tryVerify(() => textShown("An error occurred. Please try again"));
    }

    function test_photoSeries() {
        win.photoButton.clicked();
        stage.api.answerNewScan(true);
        tryCompare(win, "state", snapshot);
        compare(win.photoButton.text, "Take photo");
        verify(!win.startButton.visible);
        calls.clear();
        keyClick(Qt.Key_Space);
        keyClick(Qt.Key_Space, Qt.ShiftModifier);
        compare(calls.calls, ["big.addSnapshot(800x600)", "big.addSnapshot(800x600)"]);
        compare(win.state, snapshot);
        // Back at Welcome the strip is empty again.
        win.finishButton.clicked();
        stage.api.markSaved("http://127.0.0.1:1/scan");
        win.newScanButton.clicked();
        compare(win.state, welcome);
        verify(!textShown("Take photo"));
    }

    function test_keys_data() {
        return [
            {tag: "Space in Welcome starts a scan", from: welcome, shift: false, to: initializing,
             call: "api.startNewScan"},
            {tag: "Shift+Space in Welcome starts a series", from: welcome, shift: true,
             to: initializing, call: "api.startNewScan"},
            {tag: "Space in Paused resumes", from: paused, shift: false, to: running,
             call: "small.running=true"},
            {tag: "Space in NextPart starts the part", from: nextPart, shift: false, to: running,
             call: "camera.beginScanning"},
            {tag: "Space in Snapshot takes a photo", from: snapshot, shift: false, to: snapshot,
             call: "big.addSnapshot(800x600)"},
            {tag: "Shift+Space in Snapshot takes a photo", from: snapshot, shift: true,
             to: snapshot, call: "big.addSnapshot(800x600)"},
            {tag: "Shift+Space in Paused does nothing", from: paused, shift: true, to: paused,
             call: ""},
            {tag: "Space in Running does nothing", from: running, shift: false, to: running,
             call: ""},
            {tag: "Space in Finished does nothing", from: finished, shift: false, to: finished,
             call: ""},
        ];
    }

    function test_keys(data) {
        win.state = data.from;
        calls.clear();
        keyClick(Qt.Key_Space, data.shift ? Qt.ShiftModifier : Qt.NoModifier);
        compare(win.state, data.to);
        if (data.call === "")
            compare(calls.calls, []);
        else
            verify(calls.calls.indexOf(data.call) >= 0, calls.calls);
    }

    function test_withoutCameraNothingStarts() {
        settings.cameraId = "absent";
        verify(!win.startButton.enabled);
        verify(!win.photoButton.enabled);
        keyClick(Qt.Key_Space);
        keyClick(Qt.Key_Space, Qt.ShiftModifier);
        compare(win.state, welcome);
        compare(calls.calls, []);
        verify(!win.scanView.visible);
        verify(textShown("Select the camera to see the preview"));
        stage.camera.setCamerasLoading(true);
        verify(!textShown("Select the camera to see the preview"));
        verify(textShown("Searching for cameras"));
    }

    function test_buttons_data() {
        return [
            {tag: "Welcome", state: welcome, start: "Start scanning", photo: "Photo series",
             photoShown: true, enabled: true},
            {tag: "Initializing", state: initializing, start: "Initializing", photo: "Take photo",
             photoShown: false, enabled: false},
            {tag: "Paused", state: paused, start: "Resume", photo: "Take photo",
             photoShown: false, enabled: true},
            {tag: "NextPart", state: nextPart, start: "Start scanning", photo: "Take photo",
             photoShown: false, enabled: true},
            {tag: "Finished", state: finished, start: "", photo: "Take photo", photoShown: false,
             enabled: true},
            {tag: "Snapshot", state: snapshot, start: "", photo: "Take photo", photoShown: true,
             enabled: true},
        ];
    }

    function test_buttons(data) {
        win.state = data.state;
        compare(win.startButton.text, data.start);
        compare(win.startButton.visible, data.start !== "");
        compare(win.startButton.enabled, data.enabled);
        compare(win.photoButton.text, data.photo);
        compare(win.photoButton.visible, data.photoShown);
        compare(win.photoButton.enabled, data.enabled);
        compare(win.newScanButton.visible, data.state === finished);
    }

    function test_loggedOutHidesTheButtons() {
        stage.api.signIn(false);
        verify(textShown("Before you begin, please log in to Tavrona"));
        verify(!win.startButton.visible);
        keyClick(Qt.Key_Space);
        compare(win.state, welcome);
        stage.api.signIn(true);
        verify(!textShown("Before you begin, please log in to Tavrona"));
        verify(win.startButton.visible);
    }

    function test_newScan_data() {
        return [
            {tag: "unsaved, OK", saved: false, saving: false, dialog: true, answer: "ok",
             to: welcome},
            {tag: "unsaved, Cancel", saved: false, saving: false, dialog: true, answer: "cancel",
             to: finished},
            {tag: "saved", saved: true, saving: false, dialog: false, to: welcome},
            {tag: "still saving", saved: false, saving: true, dialog: false, to: welcome},
        ];
    }

    function test_newScan(data) {
        startScan();
        win.topBar.finish();
        compare(win.state, finished);
        if (data.saved)
            stage.api.markSaved("http://127.0.0.1:1/scan");
        win.saveOptions.isSaving = data.saving;
        win.newScanButton.clicked();
        compare(win.unsavedDialog.visible, data.dialog);
        if (data.dialog) {
            compare(win.unsavedDialog.text, "The scan hasn't been saved");
            compare(win.unsavedDialog.informativeText,
                    "Are you sure you don't want to save this scan?");
            compare(win.state, finished);
            if (data.answer === "ok")
                win.unsavedDialog.accept();
            else
                win.unsavedDialog.reject();
        }
        tryCompare(win, "state", data.to);
        if (data.to === welcome)
            verify(calls.calls.indexOf("small.reset") >= 0);
        // Not saving it is giving it up; a saved scan or one being saved is kept.
        compare(calls.calls.indexOf("api.discardScan(container-1)") >= 0, data.answer === "ok");
    }

    // The scans an earlier run left are told of as the window opens and wait in the drawer.
    function test_recoveredScansShown() {
        stage.api.recoverScan("r1", "ada@example.org", 12);
        const component = Qt.createComponent("qrc:/qml/MainWindow.qml");
        const other = createTemporaryObject(component, testCase);
        verify(other);
        tryVerify(() => findVisibleText(other.contentItem.parent,
                                        "Recovered the unsaved scan of 10:42"));
        verify(other.unsavedScans.visible);
        compare(findChild(other.unsavedScans.repeater.itemAt(0), "summary").text,
                "Scan of 10:42: 12 files to upload");
    }

    function test_storageFailureIsAToast() {
        startScan();
        bigBuilderThread.storageFailed("container-1", "the disk is full");
        tryVerify(() => textShown("The disk is full or the scan folder cannot be written: no "
                                  + "more cells are stored. Finish the scan to upload what it "
                                  + "holds."));
    }

    function test_eraserThenPause() {
        startScan();
        verify(win.topBar.eraserButton.visible);
        win.topBar.eraserButton.clicked();
        verify(smallBuilderThread.eraserMode);
        verify(!smallBuilderThread.running);
        tryVerify(() => textShown("Click on the grid cells you want to erase"));
        // The camera gets out of the way of the cells while erasing.
        verify(!win.scanView.showCamera);
        verify(win.topBar.pauseButton.visible);
        verify(win.topBar.doneButton.visible);
        calls.clear();
        win.topBar.pauseButton.clicked();
        compare(win.state, paused);
        verify(!smallBuilderThread.eraserMode);
        verify(!smallBuilderThread.running);
        compare(calls.calls, ["small.eraserMode=false", "small.running=false"]);
    }

    function test_headerKeysAndButtons() {
        startScan();
        verify(win.topBar.cameraButton.visible);
        compare(win.topBar.cameraButton.text, "Hide camera");
        keyClick(Qt.Key_C);
        verify(!win.topBar.showCamera);
        compare(win.topBar.cameraButton.text, "Show camera");
        verify(!win.scanView.showCamera);
        // No calibration yet: no ruler button, and R does nothing.
        verify(!win.topBar.rulerButton.visible);
        keyClick(Qt.Key_R);
        verify(!win.topBar.rulerTool);
        settings.mpp = "0.50000";
        verify(win.topBar.rulerButton.visible);
        keyClick(Qt.Key_R);
        verify(win.topBar.rulerTool);
        verify(win.scanView.rulerTool);
        // Losing the calibration switches the ruler off.
        settings.mpp = "";
        verify(!win.topBar.rulerTool);
        win.topBar.pause();
        compare(win.state, paused);
        keyClick(Qt.Key_C);
        verify(!win.topBar.showCamera);
    }

    function test_uploadIndicator() {
        startScan();
        verify(!win.topBar.uploadIndicator.visible);
        stage.api.recordUpload("/tmp/a.zip", true);
        stage.api.recordUpload("/tmp/b.zip", false);
        verify(win.topBar.uploadIndicator.visible);
        compare(findChild(win.topBar, "uploadText").text, "Uploading 1 / 2...");
    }

    function test_sharpness() {
        compare(findChild(win.topBar, "sharpness").text, "Sharpness:     0");
        stage.camera.setSharpness(123.6);
        compare(findChild(win.topBar, "sharpness").text, "Sharpness:   124");
    }

    function test_serviceErrorsAreToasts() {
        stage.api.raiseError("Failed to upload file scan.isd");
        tryVerify(() => textShown("Failed to upload file scan.isd"));
    }

    function test_drawerAndZoomKeys() {
        verify(win.drawer.visible);
        compare(win.drawer.width, 400);
        compare(win.scanView.mapToItem(win.contentItem, 0, 0).x, 400);
        keyClick(Qt.Key_Equal);
        fuzzyCompare(win.scanView.relativeScale, 0.99, 1e-9);
        keyClick(Qt.Key_Minus);
        fuzzyCompare(win.scanView.relativeScale, 0.9, 1e-9);
        startScan();
        tryVerify(() => !win.drawer.visible);
        compare(win.scanView.mapToItem(win.contentItem, 0, 0).x, 0);
    }

    function test_windowSetUp() {
        compare(win.width, 1200);
        compare(win.height, 800);
        compare(win.gcTimer.interval, 2000);
        verify(win.gcTimer.running);
        verify(win.gcTimer.repeat);
    }
}
