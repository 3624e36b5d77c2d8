import QtQuick
import QtQuick.Controls
import QtTest

// The camera selector, the camera properties, the vignetting and the lens panels over the
// stand-in settings and camera facade.
TestCase {
    id: testCase
    name: "PanelCamera"
    width: 400
    height: 600
    visible: true
    when: windowShown

    Component {
        id: propertyComponent
        CameraPropertyStandIn {}
    }

    function init() {
        stage.reset();
    }

    // The property stand-ins go with the test function; the facade lets go of them first.
    function cleanup() {
        stage.camera.setProperties([]);
    }

    function createPanel(name, properties) {
        const component = Qt.createComponent("qrc:/qml/" + name + ".qml");
        compare(component.status, Component.Ready, component.errorString());
        const panel = createTemporaryObject(component, testCase, properties || {});
        verify(panel, name);
        panel.width = 380;
        return panel;
    }

    function makeProperty(values) {
        return createTemporaryObject(propertyComponent, testCase, values);
    }

    // The editor item made for the i-th property.
    function editorAt(panel, i) {
        const loader = panel.editors.itemAt(i);
        verify(loader, "editor " + i);
        tryVerify(() => loader.item !== null);
        return loader.item;
    }

    function options(count) {
        const list = [];
        for (let i = 0; i < count; ++i)
            list.push({"displayName": "Option " + i, "value": i});
        return list;
    }

    function test_selectorKeepsTheStoredCamera_data() {
        return [
            {tag: "stored camera absent", stored: "c", index: -1, text: "Select camera", after: 1},
            {tag: "nothing stored", stored: "", index: -1, text: "Select camera", after: -1},
            {tag: "stored camera present", stored: "b", index: 1, text: "Camera b", after: 0}
        ];
    }

    function test_selectorKeepsTheStoredCamera(data) {
        settings.cameraId = data.stored;
        stage.camera.setCameras(["a", "b"]);
        const selector = createPanel("SelectCamera");
        compare(selector.comboBox.count, 2);
        compare(selector.comboBox.currentIndex, data.index);
        compare(selector.comboBox.displayText, data.text);
        // A new list from the facade is taken over, and the selection follows it.
        stage.camera.setCameras(["b", "c", "d"]);
        compare(selector.comboBox.count, 3);
        compare(selector.comboBox.currentIndex, data.after);
    }

    function test_selectorWritesTheChoiceAndRefreshes() {
        stage.camera.setCameras(["a", "b"]);
        const selector = createPanel("SelectCamera");
        selector.comboBox.activated(1);
        compare(settings.cameraId, "b");
        mouseClick(selector.refreshButton);
        compare(calls.calls, ["camera.request"]);
    }

    function test_selectorWhileSearching() {
        const selector = createPanel("SelectCamera");
        const searching = findChild(selector, "searchingLabel");
        verify(!searching.visible);
        verify(selector.comboBox.visible);
        stage.camera.setCamerasLoading(true);
        verify(searching.visible);
        compare(searching.text, "Searching for cameras");
        verify(!selector.comboBox.visible);
        verify(!selector.refreshButton.visible);
    }

    function test_enumerationEditorByOptionCount_data() {
        return [
            {tag: "2 options", count: 2, editor: "buttonsEditor"},
            {tag: "3 options", count: 3, editor: "buttonsEditor"},
            {tag: "4 options", count: 4, editor: "comboEditor"}
        ];
    }

    function test_enumerationEditorByOptionCount(data) {
        const prop = makeProperty({type: 5, options: options(data.count), value: 1});
        stage.camera.setProperties([prop]);
        const panel = createPanel("CameraProperties");
        const editor = editorAt(panel, 0);
        compare(editor.objectName, data.editor);
        if (data.editor === "comboEditor") {
            compare(editor.comboBox.count, data.count);
            compare(editor.comboBox.currentIndex, 1);
            editor.comboBox.activated(3);
            compare(prop.value, 3);
        }
    }

    function test_editorsFollowTheListAndItsOrder() {
        stage.camera.setProperties([makeProperty({type: 2, value: false}),
                                    makeProperty({type: 0, value: 5}),
                                    makeProperty({type: 4, value: "x"})]);
        const panel = createPanel("CameraProperties");
        compare(panel.title, "Camera properties");
        compare(panel.editors.count, 3);
        compare(editorAt(panel, 0).objectName, "booleanEditor");
        compare(editorAt(panel, 1).objectName, "integerEditor");
        compare(editorAt(panel, 2).objectName, "stringEditor");
        stage.camera.setProperties([makeProperty({type: 3})]);
        compare(panel.editors.count, 1);
        compare(editorAt(panel, 0).objectName, "triggerEditor");
    }

    function test_editorForTheContractsKinds_data() {
        return [
            {tag: "integer", type: 0, editor: "integerEditor"},
            {tag: "real", type: 1, editor: "realEditor"},
            {tag: "boolean", type: 2, editor: "booleanEditor"},
            {tag: "trigger", type: 3, editor: "triggerEditor"},
            {tag: "string", type: 4, editor: "stringEditor"},
            {tag: "enumeration", type: 5, editor: "buttonsEditor"}
        ];
    }

    // The real facade gives the kind as common::PropertyType; the editor must still be found.
    function test_editorForTheContractsKinds(data) {
        const prop = makeProperty({value: data.type === 4 ? "" : (data.type === 2 ? true : 1),
                                   options: options(2)});
        prop.type = stage.propertyType(data.type);
        stage.camera.setProperties([prop]);
        compare(editorAt(createPanel("CameraProperties"), 0).objectName, data.editor);
    }

    function test_logScaleSlider() {
        const prop = makeProperty({type: 1, logScale: true, min: 10, max: 100000, step: 1,
                                   value: 100});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        const slider = editor.slider;
        fuzzyCompare(slider.from, 2.303, 0.001);
        fuzzyCompare(slider.to, 11.513, 0.001);
        compare(slider.stepSize, 0.01);
        fuzzyCompare(slider.value, Math.log(100), 1e-9);
        slider.value = 7;
        fuzzyCompare(prop.value, Math.exp(7), 1e-6);
        compare(findChild(editor, "valueLabel").text, String(Math.round(Math.exp(7) * 100) / 100));
    }

    function test_linearRealSlider() {
        const prop = makeProperty({type: 1, min: 0.5, max: 4, step: 0.25, value: 1.5});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        compare(editor.slider.from, 0.5);
        compare(editor.slider.to, 4);
        compare(editor.slider.stepSize, 0.25);
        editor.slider.value = 2.125;
        compare(prop.value, 2.125);
        compare(findChild(editor, "valueLabel").text, "2.13");
    }

    function test_integerSliderWritesWholeNumbers() {
        const prop = makeProperty({type: 0, min: 0, max: 10, step: 1, value: 2});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        editor.slider.value = 6.6;
        compare(prop.value, 7);
        compare(findChild(editor, "valueLabel").text, "7");
    }

    function test_checkBoxWritesABool() {
        const prop = makeProperty({type: 2, value: false});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        verify(!editor.checkBox.checked);
        mouseClick(editor.checkBox);
        compare(prop.value, true);
        compare(typeof prop.value, "boolean");
        mouseClick(editor.checkBox);
        compare(prop.value, false);
    }

    function test_triggerWritesAnyValue() {
        const prop = makeProperty({type: 3, name: "Auto white balance", value: undefined});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        compare(editor.text, "Auto white balance");
        const before = prop.writes.length;
        mouseClick(editor);
        compare(prop.writes.length, before + 1);
        mouseClick(editor);
        compare(prop.writes.length, before + 2);
    }

    function test_textFieldWritesEveryEdit() {
        const prop = makeProperty({type: 4, value: "ab"});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        compare(editor.textField.text, "ab");
        editor.textField.forceActiveFocus();
        editor.textField.cursorPosition = 2;
        keyClick(Qt.Key_C);
        compare(prop.value, "abc");
    }

    function test_editorsEnabledByActive_data() {
        return [
            {tag: "integer", type: 0, control: "slider"},
            {tag: "real", type: 1, control: "slider"},
            {tag: "boolean", type: 2, control: "checkBox"},
            {tag: "trigger", type: 3, control: ""},
            {tag: "string", type: 4, control: "textField"}
        ];
    }

    function test_editorsEnabledByActive(data) {
        const prop = makeProperty({type: data.type, active: false,
                                   value: data.type === 4 ? "" : (data.type === 2 ? true : 1)});
        stage.camera.setProperties([prop]);
        const editor = editorAt(createPanel("CameraProperties"), 0);
        const control = data.control === "" ? editor : editor[data.control];
        verify(!control.enabled);
        prop.active = true;
        verify(control.enabled);
    }

    function test_enumerationEditorsStayEnabled() {
        stage.camera.setProperties([
            makeProperty({type: 5, active: false, options: options(2)}),
            makeProperty({type: 5, active: false, options: options(5)})]);
        const panel = createPanel("CameraProperties");
        verify(editorAt(panel, 0).enabled);
        verify(editorAt(panel, 1).comboBox.enabled);
    }

    function test_enumerationButtons() {
        const prop = makeProperty({type: 5, value: 2, options: [
            {"displayName": "Off", "value": 0}, {"displayName": "Once", "value": 1},
            {"displayName": "Continuous", "value": 2}]});
        stage.camera.setProperties([prop]);
        const buttons = editorAt(createPanel("CameraProperties"), 0);
        const once = findChild(buttons, "option1");
        const continuous = findChild(buttons, "option2");
        compare(continuous.text, "Continuous");
        verify(continuous.checked);
        mouseClick(once);
        verify(once.checked);
        verify(!continuous.checked);
        // Both buttons report their change; the last report is the option now checked.
        compare(prop.value, 1);
    }

    function test_enumerationButtonsMatchStrictly() {
        const component = Qt.createComponent("qrc:/qml/EnumPropertyButtons.qml");
        const buttons = createTemporaryObject(component, testCase, {
            name: "Mode", options: [{"displayName": "One", "value": 1},
                                    {"displayName": "Two", "value": 2}], value: 2});
        const spy = createTemporaryObject(spyComponent, testCase, {target: buttons,
                                                                   signalName: "change"});
        const one = findChild(buttons, "option0");
        const two = findChild(buttons, "option1");
        verify(two.checked);
        buttons.value = "1"; // equal to 1 only loosely: nothing changes
        verify(two.checked);
        verify(!one.checked);
        compare(spy.count, 0);
        buttons.value = 1;
        verify(one.checked);
        verify(!two.checked);
        compare(spy.count, 1);
        compare(spy.signalArguments[0][0], 1);
        buttons.value = 3; // no such option: the choice stays
        verify(one.checked);
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function test_vignettingCheckBox_data() {
        return [
            {tag: "unavailable, setting on", available: false, generating: false, setting: true,
             enabled: false, checked: false},
            {tag: "available, setting on", available: true, generating: false, setting: true,
             enabled: true, checked: true},
            {tag: "available, setting off", available: true, generating: false, setting: false,
             enabled: true, checked: false},
            {tag: "generating", available: true, generating: true, setting: true,
             enabled: false, checked: false}
        ];
    }

    function test_vignettingCheckBox(data) {
        stage.camera.setCorrectionAvailable(data.available);
        cameraThread.vignettingProfileGeneration = data.generating;
        settings.vignettingCorrection = data.setting;
        const panel = createPanel("VignettingCorrection");
        compare(panel.enabledCheckBox.enabled, data.enabled);
        compare(panel.enabledCheckBox.checked, data.checked);
    }

    function test_vignettingWritesTheSettingAndTogglesGeneration() {
        stage.camera.setCorrectionAvailable(true);
        const panel = createPanel("VignettingCorrection");
        compare(panel.title, "Vignetting correction");
        verify(panel.collapsed);
        mouseClick(panel.headerButton);
        verify(!panel.collapsed);
        mouseClick(panel.enabledCheckBox);
        compare(settings.vignettingCorrection, true);

        const hint = findChild(panel, "moveLabel");
        compare(panel.generateButton.text, "Generate vignetting profile");
        verify(!hint.visible);
        mouseClick(panel.generateButton);
        compare(cameraThread.vignettingProfileGeneration, true);
        compare(panel.generateButton.text, "Cancel profile generation");
        verify(hint.visible);
        verify(panel.progressBar.visible);
        cameraThread.vignettingProfileProgress = 0.25;
        compare(panel.progressBar.value, 0.25);
        mouseClick(panel.generateButton);
        compare(cameraThread.vignettingProfileGeneration, false);
    }

    function test_lensPanel_data() {
        return [
            {tag: "calibrated", magnification: "20", index: 5, mpp: "0.51234",
             density: "0.51234 μm/px"},
            {tag: "not calibrated", magnification: "2.5", index: 1, mpp: "", density: "N/A"}
        ];
    }

    function test_lensPanel(data) {
        settings.magnification = data.magnification;
        settings.mpp = data.mpp;
        const panel = createPanel("LensProfile");
        compare(panel.title, "Lens properties");
        compare(panel.magnificationBox.currentIndex, data.index);
        compare(findChild(panel, "densityLabel").text, data.density);
        panel.magnificationBox.activated(6);
        compare(settings.magnification, "40");
    }

    function test_lensPanelAsksForCalibration() {
        const panel = createPanel("LensProfile");
        const spy = createTemporaryObject(spyComponent, testCase, {target: panel,
                                                                   signalName: "calibrate"});
        mouseClick(panel.calibrateButton);
        compare(spy.count, 1);
        compare(panel.calibrateButton.ToolTip.text, "Calibrate");
    }
}
