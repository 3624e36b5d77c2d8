import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The options of a short enumeration as a row of exclusive buttons.
ColumnLayout {
    id: root

    property string name: ""
    property var options: []
    property var value

    signal change(var value)

    // Checks the button of the option strictly equal to `value`; nothing when none matches.
    function selectValue() {
        for (let i = 0; i < buttons.count; ++i) {
            const button = buttons.itemAt(i);
            if (button && button.option.value === root.value) {
                button.checked = true;
                return;
            }
        }
    }

    onValueChanged: selectValue()
    Component.onCompleted: selectValue()

    Label {
        text: root.name
    }

    ButtonGroup {
        id: group
        exclusive: true
    }

    RowLayout {
        Repeater {
            id: buttons
            model: root.options
            onItemAdded: root.selectValue()

            Button {
                required property var modelData
                required property int index
                objectName: "option" + index
                readonly property var option: modelData
                text: option.displayName
                checkable: true
                ButtonGroup.group: group
                // Only the newly checked button reports: the one the group unchecks would
                // otherwise report last and turn the choice back.
                onCheckedChanged: {
                    if (checked)
                        root.change(option.value);
                }
            }
        }
    }
}
