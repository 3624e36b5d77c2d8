import QtQuick
import QtQuick.Controls
import QtTest

// The save panel, the unsaved scans and the user panel over the stand-in service facade.
TestCase {
    id: testCase
    name: "PanelService"
    width: 400
    height: 600
    visible: true
    when: windowShown

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function init() {
        stage.reset();
    }

    function createPanel(name) {
        const component = Qt.createComponent("qrc:/qml/" + name + ".qml");
        compare(component.status, Component.Ready, component.errorString());
        const panel = createTemporaryObject(component, testCase, {width: 380});
        verify(panel, name);
        return panel;
    }

    function spyOn(target, signalName) {
        return createTemporaryObject(spyComponent, testCase, {target: target,
                                                              signalName: signalName});
    }

    // A save panel for the scan "c1" that opens URLs into `opened` instead of a browser.
    function createSavePanel(opened) {
        stage.api.newScan("c1");
        const panel = createPanel("SaveOptions");
        panel.openUrl = url => opened.push(url);
        return panel;
    }

    function test_emptyNameCannotBeSavedByTheButton() {
        const panel = createSavePanel([]);
        compare(panel.nameField.text, "");
        verify(panel.saveButton.visible);
        verify(!panel.saveButton.enabled);
        mouseClick(panel.saveButton);
        compare(calls.calls, []);
        panel.nameField.text = "Slide 1";
        verify(panel.saveButton.enabled);
    }

    function test_enterSavesEvenAnEmptyName() {
        const panel = createSavePanel([]);
        panel.nameField.forceActiveFocus();
        keyClick(Qt.Key_Return);
        compare(calls.calls, ["api.saveScan(c1,)"]);
        compare(panel.statusText, "Saving scan");
        verify(panel.isSaving);
    }

    function test_saveOutcome_data() {
        return [
            {tag: "saved, opened", ok: true, autoOpen: true, message: "Saved scan Slide 1",
             status: "Saved as Slide 1", url: "http://127.0.0.1:1/view",
             opened: ["http://127.0.0.1:1/view"]},
            {tag: "saved, not opened", ok: true, autoOpen: false, message: "Saved scan Slide 1",
             status: "Saved as Slide 1", url: "http://127.0.0.1:1/view", opened: []},
            // The service's page for the scan was refused: saved, but nothing to open.
            {tag: "saved, no page to open", ok: true, autoOpen: true,
             message: "Saved scan Slide 1", status: "Saved as Slide 1", url: "", opened: []},
            {tag: "failed", ok: false, autoOpen: true, message: "Failed to save Slide 1: ",
             status: "Error", url: "http://127.0.0.1:1/view", opened: []}
        ];
    }

    function test_saveOutcome(data) {
        settings.autoOpen = data.autoOpen;
        const opened = [];
        const panel = createSavePanel(opened);
        const messages = spyOn(panel, "message");
        compare(panel.autoOpenCheckBox.checked, data.autoOpen);
        panel.nameField.text = "Slide 1";
        mouseClick(panel.saveButton);
        compare(calls.calls, ["api.saveScan(c1,Slide 1)"]);
        compare(panel.statusText, "Saving scan");
        verify(panel.isSaving);
        verify(!panel.saveButton.enabled); // no second save while one runs
        stage.api.answerSave(data.ok, data.url);
        tryCompare(panel, "isSaving", false);
        compare(panel.statusText, data.status);
        compare(findChild(panel, "statusLabel").text, data.status);
        compare(messages.count, 1);
        compare(messages.signalArguments[0][0], data.message);
        compare(opened, data.opened);
    }

    function test_autoOpenCheckBoxWritesTheSetting() {
        const panel = createSavePanel([]);
        mouseClick(panel.autoOpenCheckBox);
        compare(settings.autoOpen, true);
        mouseClick(panel.autoOpenCheckBox);
        compare(settings.autoOpen, false);
    }

    function test_savedScanOffersOpening() {
        const opened = [];
        const panel = createSavePanel(opened);
        verify(!panel.openButton.visible);
        stage.api.markSaved("http://127.0.0.1:1/scan/7");
        verify(!panel.saveButton.visible);
        verify(panel.openButton.visible);
        compare(panel.openButton.text, "Open Scan");
        mouseClick(panel.openButton);
        compare(opened, ["http://127.0.0.1:1/scan/7"]);
    }

    function test_savedScanWithoutPageOffersNothingToOpen() {
        const opened = [];
        const panel = createSavePanel(opened);
        stage.api.markSaved("");
        verify(panel.openButton.visible);
        verify(!panel.openButton.enabled);
        mouseClick(panel.openButton);
        compare(opened, []);
    }

    // A file refused for good: the panel says why, and offers no save that could not be whole.
    function test_failedScanShowsWhyAndCannotBeSaved() {
        const panel = createSavePanel([]);
        const failure = findChild(panel, "failureLabel");
        verify(!failure.visible);
        panel.nameField.text = "Slide";
        verify(panel.saveButton.enabled);
        stage.api.failScan("c1", "00001.dat: service HTTP 404");
        verify(failure.visible);
        compare(failure.text, "The upload failed: 00001.dat: service HTTP 404");
        verify(!panel.saveButton.enabled);
    }

    function test_newScanClearsTheStatus() {
        const panel = createSavePanel([]);
        panel.nameField.text = "Slide";
        mouseClick(panel.saveButton);
        verify(panel.isSaving);
        stage.api.newScan("c2");
        compare(panel.statusText, "");
        verify(!panel.isSaving);
        compare(panel.scan.containerId, "c2");
    }

    // The entries of the unsaved scans' panel, as the user reads them.
    function summaries(panel) {
        const texts = [];
        for (let i = 0; i < panel.repeater.count; ++i)
            texts.push(findChild(panel.repeater.itemAt(i), "summary").text);
        return texts;
    }

    function test_unsavedScanSummaries_data() {
        return [
            {tag: "files to upload", pending: 12, uploaded: 0, text: "Scan of 10:42: 12 files to upload"},
            {tag: "one file", pending: 1, uploaded: 0, text: "Scan of 10:42: 1 file to upload"},
            {tag: "uploaded", pending: 2, uploaded: 2, text: "Scan of 10:42: uploaded, not saved"},
            {tag: "nothing asked for yet", pending: 0, uploaded: 0,
             text: "Scan of 10:42: preparing the upload"},
            {tag: "failed", pending: 3, uploaded: 0, failed: "00001.dat: service HTTP 404",
             text: "Scan of 10:42: the upload failed (00001.dat: service HTTP 404)"},
            {tag: "another user's", pending: 3, uploaded: 0, waiting: true,
             text: "Scan of 10:42: waiting for ada@example.org to log in"}
        ];
    }

    function test_unsavedScanSummaries(data) {
        stage.api.recoverScan("r1", "ada@example.org", data.pending);
        if (data.uploaded > 0)
            stage.api.finishUploads("r1", data.uploaded);
        if (data.failed)
            stage.api.failScan("r1", data.failed);
        if (data.waiting)
            stage.api.setWaiting("r1", true);
        const panel = createPanel("UnsavedScans");
        verify(panel.visible);
        compare(summaries(panel), [data.text]);
        const entry = panel.repeater.itemAt(0);
        compare(entry.saveButton.enabled, false); // no name yet
        entry.nameField.text = "Slide 9";
        compare(entry.saveButton.enabled, !data.failed);
    }

    function test_unsavedScanSavedUnderAName() {
        const scan = stage.api.recoverScan("r1", "ada@example.org", 2);
        stage.api.newScan("c1");
        const panel = createPanel("UnsavedScans");
        const messages = spyOn(panel, "message");
        // The scan the save panel shows is not listed twice.
        panel.shownElsewhere = apiThread.currentScan;
        compare(panel.repeater.count, 1);
        panel.shownElsewhere = null;
        compare(panel.repeater.count, 2);
        panel.shownElsewhere = apiThread.currentScan;
        const entry = panel.repeater.itemAt(0);
        compare(entry.nameField.text, "");
        entry.nameField.text = "Slide 9";
        mouseClick(entry.saveButton);
        compare(calls.calls, ["api.saveScan(r1,Slide 9)"]);
        compare(summaries(panel), ["Scan of 10:42: saving as Slide 9"]);
        verify(!entry.saveButton.enabled);
        stage.api.answerSave(true, "http://127.0.0.1:1/view/r1");
        // Saved: it leaves the list, and the panel with it.
        tryCompare(panel.repeater, "count", 0);
        verify(!panel.visible);
        // The service's answer reaches the panel through the future, a turn of the loop later.
        tryCompare(messages, "count", 1);
        compare(messages.signalArguments[0][0], "Saved scan Slide 9");
    }

    function test_nameAskedForBeforeIsKept() {
        const scan = stage.api.recoverScan("r1", "ada@example.org", 2);
        apiThread.saveScan("r1", "Asked before");
        stage.api.answerSave(false, "");
        const panel = createPanel("UnsavedScans");
        const entry = panel.repeater.itemAt(0);
        compare(entry.nameField.text, "Asked before");
        verify(entry.saveButton.enabled);
    }

    function test_discardAfterConfirmation_data() {
        return [{tag: "OK", accept: true}, {tag: "Cancel", accept: false}];
    }

    function test_discardAfterConfirmation(data) {
        stage.api.recoverScan("r1", "ada@example.org", 5);
        const panel = createPanel("UnsavedScans");
        const entry = panel.repeater.itemAt(0);
        mouseClick(entry.discardButton);
        verify(panel.discardDialog.visible);
        compare(panel.discardDialog.text, "Discard the scan of 10:42?");
        compare(panel.discardDialog.informativeText,
                "Its files are deleted from this computer, and it is not saved.");
        compare(calls.calls, []);
        if (data.accept)
            panel.discardDialog.accept();
        else
            panel.discardDialog.reject();
        compare(calls.calls, data.accept ? ["api.discardScan(r1)"] : []);
        compare(panel.repeater.count, data.accept ? 0 : 1);
    }

    function test_userStates_data() {
        return [
            {tag: "loading before all", loading: true, user: true, loggedIn: true,
             state: "loading"},
            {tag: "authenticated", loading: false, user: true, loggedIn: true,
             state: "authenticated"},
            {tag: "user not loaded", loading: false, user: false, loggedIn: true,
             state: "user-not-loaded"},
            {tag: "not authenticated", loading: false, user: false, loggedIn: false,
             state: "not-authenticated"}
        ];
    }

    function test_userStates(data) {
        stage.api.setLoading(data.loading);
        stage.api.setUser(data.user);
        stage.api.setLoggedIn(data.loggedIn);
        const panel = createPanel("UserView");
        compare(panel.state, data.state);
        compare(panel.logInButton.visible, data.state === "not-authenticated");
        compare(panel.connectButton.visible, data.state === "user-not-loaded");
        compare(panel.logOutButton.visible, data.state === "authenticated"
                                            || data.state === "user-not-loaded");
        compare(panel.cancelButton.visible, data.state === "loading");
        compare(findChild(panel, "userName").visible, data.state === "authenticated");
        if (data.state === "authenticated") {
            compare(findChild(panel, "userName").text, "Ada Lis");
            compare(findChild(panel, "userEmail").text, "ada@example.org");
        }
    }

    function test_userButtonsCallTheFacade_data() {
        return [
            {tag: "log in", loggedIn: false, user: false, loading: false, button: "logInButton",
             signal: "logIn"},
            {tag: "connect", loggedIn: true, user: false, loading: false,
             button: "connectButton", signal: "queryUser"},
            {tag: "log out", loggedIn: true, user: true, loading: false, button: "logOutButton",
             signal: "logOut"},
            {tag: "cancel", loggedIn: false, user: false, loading: true, button: "cancelButton",
             signal: "cancelLogIn"}
        ];
    }

    function test_userButtonsCallTheFacade(data) {
        stage.api.setLoggedIn(data.loggedIn);
        stage.api.setUser(data.user);
        stage.api.setLoading(data.loading);
        const panel = createPanel("UserView");
        const spy = spyOn(apiThread, data.signal);
        mouseClick(panel[data.button]);
        compare(spy.count, 1);
    }

    function test_errorTextAndItsClearing() {
        const panel = createPanel("UserView");
        verify(!panel.errorLabel.visible);
        stage.api.raiseError("Network error: refused");
        compare(panel.errorMessage, "Network error: refused");
        verify(panel.errorLabel.visible);
        compare(panel.errorLabel.text, "Network error: refused");
        stage.api.setLoading(true); // a new log-in starts
        compare(panel.errorMessage, "");
        verify(!panel.errorLabel.visible);

        stage.api.raiseError("Log-in failed");
        compare(panel.errorMessage, "Log-in failed");
        verify(panel.errorLabel.visible); // shown while loading too
        stage.api.setLoading(false);
        stage.api.setLoggedIn(true);
        stage.api.setUser(true);
        compare(panel.state, "authenticated");
        compare(panel.errorMessage, "");

        stage.api.raiseError("Upload failed");
        verify(!panel.errorLabel.visible); // never under a signed-in user
        stage.api.setUser(false);
        verify(panel.errorLabel.visible);
    }
}
