import QtQuick
import QtQuick.Controls
import QtTest

// Toasts, the spinner, the collapsible frame and the snapshot strip.
TestCase {
    id: testCase
    name: "PanelToasts"
    width: 600
    height: 600
    visible: true
    when: windowShown

    function create(name, properties) {
        const component = Qt.createComponent("qrc:/qml/" + name + ".qml");
        compare(component.status, Component.Ready, component.errorString());
        const object = createTemporaryObject(component, testCase, properties || {});
        verify(object, name);
        return object;
    }

    // The items of a QML list property, as an array.
    function itemsOf(list) {
        const items = [];
        for (let i = 0; i < list.length; ++i)
            items.push(list[i]);
        return items;
    }

    // The toast at `index` once the list has laid it out.
    function toastAt(manager, index) {
        tryVerify(() => manager.itemAtIndex(index) !== null);
        return manager.itemAtIndex(index);
    }

    function test_toastDurations_data() {
        return [
            {tag: "short, raised to the fades", duration: 100, total: 600},
            {tag: "long", duration: 5000, total: 5000},
            {tag: "none given", duration: undefined, total: 3000}
        ];
    }

    function test_toastDurations(data) {
        const manager = create("ToastManager", {width: 600, height: 400});
        manager.show("Hello", data.duration);
        compare(manager.count, 1);
        const toast = toastAt(manager, 0);
        compare(toast.totalDuration, data.total);
        compare(toast.text, "Hello");
        verify(toast.animation.running);
    }

    function test_shortToastFadesInAndOut() {
        const manager = create("ToastManager", {width: 600, height: 400});
        manager.show("Brief", 100);
        const toast = toastAt(manager, 0);
        compare(toast.totalDuration, 600);
        // The peak lasts only an animation frame; watch every change instead of polling.
        let peak = toast.opacity;
        toast.opacityChanged.connect(() => peak = Math.max(peak, toast.opacity));
        tryVerify(() => !toast.animation.running, 2000, "the toast ends");
        verify(peak > 0.85, "the toast faded in to " + peak);
        compare(toast.opacity, 0);
        // Faded toasts stay in the list, invisible.
        compare(manager.count, 1);
    }

    function test_toastLayout() {
        const manager = create("ToastManager", {width: 500, height: 400});
        manager.show("First");
        manager.show("Second");
        compare(manager.count, 2);
        const newest = toastAt(manager, 0);
        compare(newest.text, "Second");
        compare(newest.x, 10);
        compare(newest.width, 480);
        compare(newest.color, Qt.color("#222222"));
        compare(newest.radius, 10);
        verify(!manager.interactive);
        compare(manager.spacing, 5);
        tryCompare(toastAt(manager, 1), "y", newest.height + 5);
    }

    function test_spinnerDots_data() {
        return [
            {tag: "single", useDouble: false, count: 4},
            {tag: "double", useDouble: true, count: 10}
        ];
    }

    function test_spinnerDots(data) {
        const spinner = create("Spinner", {radius: 20, useDouble: data.useDouble});
        compare(spinner.width, 40);
        compare(spinner.height, 40);
        const dots = itemsOf(spinner.children).filter(child => child.startAngle !== undefined);
        compare(dots.length, data.count);
        const c = (20 - 14) * 0.5;
        for (let i = 0; i < dots.length; ++i) {
            const expected = data.useDouble
                    ? c * 0.5 * (data.count / 2 - Math.abs(data.count / 2 - i))
                    : c * 0.5 * (data.count - i);
            fuzzyCompare(dots[i].width, expected, 1e-9);
            compare(dots[i].startAngle, data.useDouble && i >= data.count / 2 ? 270 : 90);
        }
        // The dots start one after another and run while the spinner runs.
        tryCompare(spinner, "started", data.count, 3000);
        spinner.running = false;
        const angle = dots[0].angle;
        wait(150);
        compare(dots[0].angle, angle);
        spinner.running = true;
        tryVerify(() => dots[0].angle !== angle, 3000);
    }

    function test_collapsiblePanel_data() {
        return [
            {tag: "expanded at first", collapsed: false},
            {tag: "collapsed at first", collapsed: true}
        ];
    }

    function test_collapsiblePanel(data) {
        const panel = Qt.createQmlObject(
            'import QtQuick; import "qrc:/qml"; CollapsiblePanel { width: 300; title: "Lens"; collapsed: '
            + data.collapsed + '; Rectangle { objectName: "content"; height: 20 } }',
            testCase, "collapsible");
        const content = findChild(panel, "content");
        compare(panel.headerButton.text, "Lens");
        compare(content.visible, !data.collapsed);
        compare(String(panel.headerButton.icon.source), data.collapsed
                ? "qrc:/icons/caret-forward.svg" : "qrc:/icons/caret-down.svg");
        mouseClick(panel.headerButton);
        compare(panel.collapsed, !data.collapsed);
        compare(content.visible, data.collapsed);
        panel.destroy();
    }

    function test_snapshotsNewestFirst() {
        const strip = create("Snapshots", {width: 300});
        compare(strip.snapshotSize, 90);
        strip.addSnapshot(stage.matrix(10, 8));
        strip.addSnapshot(stage.matrix(20, 16));
        compare(strip.count, 2);
        const shown = itemsOf(strip.children).filter(child => child.imageWidth !== undefined);
        compare(shown.length, 2);
        compare(shown.map(item => item.imageWidth), [20, 10]);
        compare(shown.map(item => item.width), [90, 90]);
        compare(shown.map(item => item.height), [90, 90]);
        strip.clear();
        compare(strip.count, 0);
    }
}
