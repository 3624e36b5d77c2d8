import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Editors of the open camera's features, one per property in the facade's order, each chosen
// by the property's type.
CollapsiblePanel {
    id: root

    // A copy of common::PropertyType: the numbers must stay those of the plug-in contract.
    enum PropertyType {
        Integer = 0,
        Real = 1,
        Boolean = 2,
        Trigger = 3,
        String = 4,
        Enumeration = 5
    }

    readonly property var properties: cameraThread ? cameraThread.properties : []
    property alias editors: editors

    title: qsTr("Camera properties")

    Frame {
        Layout.fillWidth: true

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 10

            Repeater {
                id: editors
                model: root.properties

                Loader {
                    id: editor

                    required property var modelData
                    readonly property var prop: modelData
                    readonly property int optionCount: prop && prop.options ? prop.options.length : 0

                    // A property the facade has already let go of gets no editor.
                    active: prop !== null && prop !== undefined
                    Layout.fillWidth: true
                    sourceComponent: {
                        if (!prop)
                            return null;
                        switch (prop.type) {
                        case CameraProperties.Integer:
                            return integerEditor;
                        case CameraProperties.Real:
                            return realEditor;
                        case CameraProperties.Boolean:
                            return booleanEditor;
                        case CameraProperties.Trigger:
                            return triggerEditor;
                        case CameraProperties.String:
                            return stringEditor;
                        case CameraProperties.Enumeration:
                            return optionCount > 3 ? comboEditor : buttonsEditor;
                        }
                        return null;
                    }

                    Component {
                        id: integerEditor
                        RowLayout {
                            objectName: "integerEditor"
                            property alias slider: slider
                            Label {
                                text: editor.prop.name
                            }
                            Slider {
                                id: slider
                                Layout.fillWidth: true
                                enabled: editor.prop.active
                                from: editor.prop.min
                                to: editor.prop.max
                                stepSize: editor.prop.step
                                value: editor.prop.value
                                // Only what the slider changed goes back: the value it shows
                                // was read from the property.
                                onValueChanged: {
                                    if (value !== editor.prop.value)
                                        editor.prop.value = Math.round(value);
                                }
                            }
                            Label {
                                objectName: "valueLabel"
                                text: String(editor.prop.value)
                            }
                        }
                    }

                    Component {
                        id: realEditor
                        GridLayout {
                            id: realGrid
                            objectName: "realEditor"
                            property alias slider: slider
                            columns: 3
                            Label {
                                id: realName
                                text: editor.prop.name
                                Layout.columnSpan: implicitWidth > realGrid.width / 2 ? 3 : 1
                            }
                            Slider {
                                id: slider
                                Layout.fillWidth: true
                                enabled: editor.prop.active
                                from: editor.prop.logScale ? Math.log(editor.prop.min) : editor.prop.min
                                to: editor.prop.logScale ? Math.log(editor.prop.max) : editor.prop.max
                                stepSize: editor.prop.logScale ? 0.01 : editor.prop.step
                                value: editor.prop.logScale ? Math.log(editor.prop.value)
                                                            : editor.prop.value
                                onValueChanged: {
                                    const shown = editor.prop.logScale ? Math.log(editor.prop.value)
                                                                       : editor.prop.value;
                                    if (Math.abs(value - shown) > 1e-9)
                                        editor.prop.value = editor.prop.logScale ? Math.exp(value)
                                                                                 : value;
                                }
                            }
                            Label {
                                objectName: "valueLabel"
                                text: String(Math.round(Number(editor.prop.value) * 100) / 100)
                            }
                        }
                    }

                    Component {
                        id: booleanEditor
                        RowLayout {
                            objectName: "booleanEditor"
                            property alias checkBox: checkBox
                            Label {
                                text: editor.prop.name
                            }
                            Item {
                                Layout.fillWidth: true
                            }
                            CheckBox {
                                id: checkBox
                                enabled: editor.prop.active
                                checked: editor.prop.value
                                onCheckedChanged: {
                                    if (checked !== editor.prop.value)
                                        editor.prop.value = checked;
                                }
                            }
                        }
                    }

                    Component {
                        id: triggerEditor
                        Button {
                            objectName: "triggerEditor"
                            text: editor.prop.name
                            enabled: editor.prop.active
                            // The camera acts on any write, so the value only has to be new.
                            onClicked: editor.prop.value = Math.random()
                        }
                    }

                    Component {
                        id: stringEditor
                        RowLayout {
                            objectName: "stringEditor"
                            property alias textField: textField
                            Label {
                                text: editor.prop.name
                            }
                            TextField {
                                id: textField
                                Layout.fillWidth: true
                                enabled: editor.prop.active
                                text: editor.prop.value
                                onTextEdited: editor.prop.value = text
                            }
                        }
                    }

                    Component {
                        id: comboEditor
                        RowLayout {
                            objectName: "comboEditor"
                            property alias comboBox: comboBox
                            Label {
                                text: editor.prop.name
                            }
                            ComboBox {
                                id: comboBox
                                Layout.fillWidth: true
                                model: {
                                    const names = [];
                                    for (let i = 0; i < editor.optionCount; ++i)
                                        names.push(editor.prop.options[i].displayName);
                                    return names;
                                }
                                onActivated: index => editor.prop.value = editor.prop.options[index].value
                                Component.onCompleted: {
                                    const options = editor.prop.options;
                                    console.log(Object.keys(options[0]));
                                    for (let i = 0; i < editor.optionCount; ++i) {
                                        if (options[i].value === editor.prop.value) {
                                            currentIndex = i;
                                            break;
                                        }
                                    }
                                }
                            }
                        }
                    }

                    Component {
                        id: buttonsEditor
                        EnumPropertyButtons {
                            objectName: "buttonsEditor"
                            name: editor.prop.name
                            options: editor.prop.options
                            value: editor.prop.value
                            onChange: value => editor.prop.value = value
                        }
                    }
                }
            }
        }
    }
}
