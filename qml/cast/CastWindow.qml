import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The "Casting" window: the receivers on the network with a button to cast to each, receivers added by
// address, the casting settings and the diagnostics log. Everything it shows and changes belongs to Cast;
// the controls write only what the user changes. Receiver names and models, errors and the log come partly
// from the network, so every text here is plain text.
Window {
    id: root

    // Display names of the receiver types; a type missing here shows as it comes.
    readonly property var typeNames: ({ chromecast: "Chromecast", airplay: "AirPlay", dlna: "DLNA" })
    // The type keys of the address row's box, in its order.
    readonly property var typeKeys: ["chromecast", "airplay", "dlna"]
    // The subtitle modes of the settings' box, in its order.
    readonly property var subtitleModes: ["auto", "burn", "off"]

    function openWindow() {
        show()
        raise()
        requestActivate()
        Cast.setMenuOpen(true)
    }

    function typeName(type) {
        const key = String(type === undefined || type === null ? "" : type)
        return Object.prototype.hasOwnProperty.call(typeNames, key) ? typeNames[key] : key
    }

    // The second line of a receiver's row: type, address, model, and whether it was added by hand.
    function detailLine(device) {
        const parts = [typeName(device.type), String(device.address || "")]
        if (device.model)
            parts.push(String(device.model))
        if (device.manual)
            parts.push(qsTr("added by hand"))
        return parts.join(" · ")
    }

    function addReceiver() {
        if (addressField.text.trim() === "")
            return
        Cast.addManual(typeKeys[typeBox.currentIndex], addressField.text)
        addressField.clear()
    }

    // Selects the whole log, copies it and clears the selection. An empty log has nothing to select, so the
    // empty text is put on the clipboard directly: the clipboard must not keep what was there before.
    function copyLog() {
        if (logArea.length === 0) {
            Clipboard.setText("")
            return
        }
        logArea.selectAll()
        logArea.copy()
        logArea.deselect()
    }

    // The log is laid out anew whenever its text changes, which is costly at 300 lines: it is set once when
    // the window opens and follows the session only while the window shows.
    function showLog() {
        logArea.text = Cast.diagnostics.join("\n")
    }

    onVisibleChanged: {
        if (visible)
            showLog()
        else
            Cast.setMenuOpen(false)
    }

    Connections {
        target: Cast
        enabled: root.visible
        function onDiagnosticsChanged() {
            root.showLog()
        }
    }

    component Heading: Label {
        Layout.topMargin: 6
        textFormat: Text.PlainText
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 13
        font.weight: Font.DemiBold
    }

    component Hint: Label {
        Layout.fillWidth: true
        textFormat: Text.PlainText
        color: "#6b7079"
        font.family: "Segoe UI"
        font.pixelSize: 11
        wrapMode: Text.Wrap
    }

    component RowLabel: Label {
        textFormat: Text.PlainText
        color: "#c9ccd1"
        font.family: "Segoe UI"
        font.pixelSize: 12
    }

    // Plain digits both ways: the locale's group separator ("3,600") would not read back as a number.
    component NumberBox: SpinBox {
        id: box
        // The rows' height; the step buttons follow it.
        implicitHeight: 28
        editable: true
        font.family: "Segoe UI"
        font.pixelSize: 12
        textFromValue: (value, locale) => String(value)
        valueFromText: (text, locale) => {
            const digits = /\d+/.exec(text)
            return digits ? parseInt(digits[0], 10) : box.value
        }
        // Digits only; the box clamps a larger number to its range.
        validator: RegularExpressionValidator {
            regularExpression: /\d{0,6}/
        }
    }

    title: qsTr("Casting")
    width: 640
    height: 640
    minimumWidth: 520
    minimumHeight: 480
    color: "#16181d"
    // Without CustomizeWindowHint X11 window managers add minimise and maximise anyway.
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint

    DarkWindowPane {
        ScrollView {
            id: scroll
            objectName: "scroll"
            anchors.fill: parent
            contentWidth: availableWidth

            ColumnLayout {
                width: scroll.availableWidth
                spacing: 8

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    Heading {
                        Layout.fillWidth: true
                        text: qsTr("Receivers on this network")
                    }
                    DarkButton {
                        objectName: "searchButton"
                        text: qsTr("Search Again")
                        onClicked: Cast.refresh()
                    }
                }

                Hint {
                    text: qsTr("Chromecast, AirPlay and DLNA receivers are found on your local network only; nothing is sent to any online service.")
                }

                Repeater {
                    id: receivers
                    objectName: "receivers"
                    model: Cast.devices

                    delegate: Rectangle {
                        id: row

                        required property var modelData
                        readonly property string deviceId: String(modelData.id)
                        readonly property bool active: modelData.active === true
                        readonly property bool manual: modelData.manual === true

                        Layout.fillWidth: true
                        implicitHeight: 46
                        radius: 4
                        color: active ? "#2a1d17" : "#1c1f26"
                        border.width: active ? 1 : 0
                        border.color: "#ff5b22"

                        RowLayout {
                            anchors.fill: parent
                            anchors.leftMargin: 10
                            anchors.rightMargin: 6
                            spacing: 6

                            ColumnLayout {
                                Layout.fillWidth: true
                                spacing: 2

                                Label {
                                    objectName: "nameText"
                                    Layout.fillWidth: true
                                    text: String(row.modelData.name || "")
                                    textFormat: Text.PlainText
                                    elide: Text.ElideRight
                                    color: "#e8eaed"
                                    font.family: "Segoe UI"
                                    font.pixelSize: 12
                                }
                                Label {
                                    objectName: "detailText"
                                    Layout.fillWidth: true
                                    text: root.detailLine(row.modelData)
                                    textFormat: Text.PlainText
                                    elide: Text.ElideRight
                                    color: "#6b7079"
                                    font.family: "Segoe UI"
                                    font.pixelSize: 10
                                }
                            }

                            DarkCheck {
                                objectName: "alwaysConvertCheck"
                                text: qsTr("Always convert")
                                checked: row.modelData.alwaysTranscode === true
                                onToggled: Cast.setAlwaysTranscode(row.deviceId, checked)
                                ToolTip.visible: hovered
                                ToolTip.text: qsTr("For receivers that refuse some files: always send a converted stream")
                            }
                            // These three change the list, which rebuilds the rows: each call waits for the
                            // next turn rather than destroy its own button in the middle of a click.
                            DarkButton {
                                objectName: "forgetButton"
                                visible: row.manual
                                text: qsTr("Forget")
                                onClicked: Qt.callLater(Cast.removeManual, row.deviceId)
                            }
                            DarkButton {
                                objectName: "castButton"
                                text: row.active ? qsTr("Stop") : qsTr("Cast")
                                accent: !row.active
                                onClicked: {
                                    if (row.active)
                                        Qt.callLater(Cast.stop)
                                    else
                                        Qt.callLater(Cast.start, row.deviceId)
                                }
                            }
                        }
                    }
                }

                Hint {
                    objectName: "emptyHint"
                    visible: Cast.devices.length === 0
                    text: qsTr("No receivers found yet. Make sure the receiver is on and on the same network; networks with client isolation (guest or office Wi-Fi) block discovery — add the receiver by address instead.")
                }

                Heading {
                    text: qsTr("Add a receiver by address")
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    DarkCombo {
                        id: typeBox
                        objectName: "typeBox"
                        implicitWidth: 130
                        model: [root.typeNames.chromecast, root.typeNames.airplay, root.typeNames.dlna]
                    }
                    TextField {
                        id: addressField
                        objectName: "addressField"
                        Layout.fillWidth: true
                        // The height of the combo box and the button beside it.
                        implicitHeight: 28
                        selectByMouse: true
                        font.family: "Segoe UI"
                        font.pixelSize: 12
                        // Private-range examples: the field only takes addresses on the local network.
                        placeholderText: typeBox.currentIndex === 2
                                         ? qsTr("Description URL, e.g. http://192.168.1.20:49152/description.xml")
                                         : qsTr("IP address, e.g. 192.168.1.20")
                        Keys.onReturnPressed: event => {
                            event.accepted = true
                            if (addButton.enabled)
                                root.addReceiver()
                        }
                        Keys.onEnterPressed: event => {
                            event.accepted = true
                            if (addButton.enabled)
                                root.addReceiver()
                        }
                    }
                    DarkButton {
                        id: addButton
                        objectName: "addButton"
                        text: qsTr("Add")
                        enabled: addressField.text.trim() !== ""
                        onClicked: root.addReceiver()
                    }
                }

                Heading {
                    text: qsTr("Settings")
                }

                DarkCheck {
                    objectName: "enabledCheck"
                    text: qsTr("Casting enabled")
                    checked: Cast.enabled
                    onToggled: {
                        Cast.enabled = checked
                        checked = Qt.binding(() => Cast.enabled)
                    }
                }

                DarkCheck {
                    objectName: "discoverCheck"
                    text: qsTr("Look for receivers when the player starts")
                    checked: Cast.discoverOnStart
                    onToggled: {
                        Cast.discoverOnStart = checked
                        checked = Qt.binding(() => Cast.discoverOnStart)
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    RowLabel {
                        text: qsTr("Subtitles while casting")
                    }
                    DarkCombo {
                        id: subtitleBox
                        objectName: "subtitleBox"
                        // Wide enough for the longest entry, in the box and in its list.
                        implicitWidth: 340
                        model: [qsTr("Send as text where possible, else burn in"), qsTr("Always burn into the picture"),
                                qsTr("Off")]
                        // A stored value outside the three shows the first entry and stays until a pick.
                        currentIndex: Math.max(0, root.subtitleModes.indexOf(Cast.subtitleMode))
                        onActivated: index => {
                            Cast.subtitleMode = root.subtitleModes[index]
                            currentIndex = Qt.binding(() => Math.max(0, root.subtitleModes.indexOf(Cast.subtitleMode)))
                        }
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    RowLabel {
                        text: qsTr("Maximum bitrate")
                    }
                    NumberBox {
                        objectName: "bitrateBox"
                        from: 0
                        to: 100
                        stepSize: 1
                        value: Cast.maxBitrateMbps
                        onValueModified: {
                            Cast.maxBitrateMbps = value
                            value = Qt.binding(() => Cast.maxBitrateMbps)
                        }
                    }
                    RowLabel {
                        Layout.fillWidth: true
                        text: qsTr("Mbps (0 = no limit; higher sources are converted)")
                        elide: Text.ElideRight
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    RowLabel {
                        text: qsTr("Forget unseen receivers after")
                    }
                    NumberBox {
                        objectName: "cacheBox"
                        from: 60
                        to: 3600
                        stepSize: 60
                        value: Cast.cacheSeconds
                        onValueModified: {
                            Cast.cacheSeconds = value
                            value = Qt.binding(() => Cast.cacheSeconds)
                        }
                    }
                    RowLabel {
                        Layout.fillWidth: true
                        text: qsTr("seconds")
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    Heading {
                        Layout.fillWidth: true
                        text: qsTr("Diagnostics")
                    }
                    DarkButton {
                        objectName: "forceButton"
                        text: qsTr("Force Conversion")
                        enabled: Cast.active
                        onClicked: Cast.forceTranscode()
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("Re-send the current item as a converted stream")
                    }
                    DarkButton {
                        objectName: "copyButton"
                        text: qsTr("Copy")
                        onClicked: root.copyLog()
                    }
                    DarkButton {
                        objectName: "clearButton"
                        text: qsTr("Clear")
                        onClicked: Cast.clearDiagnostics()
                    }
                }

                Label {
                    objectName: "errorText"
                    Layout.fillWidth: true
                    visible: text !== ""
                    text: Cast.lastError
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    color: "#f87171"
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                }

                // The log scrolls inside its own box: 300 lines would otherwise run over the window.
                ScrollView {
                    Layout.fillWidth: true
                    Layout.preferredHeight: 180
                    background: Rectangle {
                        color: "#0e1014"
                        radius: 4
                        border.width: 1
                        border.color: "#2c3038"
                    }

                    TextArea {
                        id: logArea
                        objectName: "logArea"
                        readOnly: true
                        selectByMouse: true
                        wrapMode: TextEdit.WrapAnywhere
                        textFormat: TextEdit.PlainText
                        font.family: "JetBrains Mono"
                        font.pixelSize: 10
                        color: "#c9ccd1"
                        selectionColor: "#ff5b22"
                        background: null
                    }
                }

                Item {
                    Layout.preferredHeight: 8
                }
            }
        }
    }
}
