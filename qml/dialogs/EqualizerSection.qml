import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer
import "AudioFx.js" as AudioFx

// The equaliser of the effects window's Audio page: enable switch, presets, response curve and eleven
// sliders. It keeps nothing of its own: everything follows the window's working copy a.
Column {
    id: section

    // The EffectsDialog: its working copy a and its pushes.
    required property var dialog

    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property var a: dialog.a
    readonly property var presets: hasPlayer ? Player.eqPresets : []
    readonly property var presetNames: presets.map(p => p.name)
    readonly property string matchName: AudioFx.matchName(presets, a)
    readonly property bool eqEnabled: a.eqEnabled === true
    // Pop-ups are not among the items' children: reached through these.
    readonly property alias savePresetPopup: savePresetPopup

    spacing: 6

    function bandValue(index) {
        return index === 0 ? AudioFx.numberOr(a.preamp, 0)
                           : Array.isArray(a.bands) ? AudioFx.numberOr(a.bands[index - 1], 0) : 0
    }

    function setBand(index, value) {
        const d = dialog
        if (index === 0) {
            d.a.preamp = value
        } else {
            if (!Array.isArray(d.a.bands))
                d.a.bands = [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]
            d.a.bands[index - 1] = value
        }
        d.pushA()
    }

    function choosePreset(index) {
        const p = presets[index]
        if (!p)
            return
        const d = dialog
        d.a.bands = p.bands.slice()
        d.a.preamp = AudioFx.numberOr(p.preamp, 0)
        d.a.eqEnabled = true
        d.pushA()
    }

    function isUserPreset(name) {
        return name !== "" && presets.some(p => p.name === name && !p.builtin)
    }

    function savePreset() {
        if (hasPlayer)
            Player.saveEqPreset(presetName.text, section.a.bands || [], AudioFx.numberOr(section.a.preamp, 0))
        savePresetPopup.close()
    }

    RowLayout {
        width: section.width
        spacing: 6

        EffectsDialog.Heading {
            text: qsTr("EQUALIZER")
            first: true
        }

        Item {
            Layout.fillWidth: true
        }

        EffectsDialog.FxCheck {
            objectName: "eqEnabledCheck"
            text: qsTr("Enabled")
            checked: section.eqEnabled
            onToggled: section.dialog.setA("eqEnabled", checked)
        }

        EffectsDialog.FxCombo {
            id: presetBox
            objectName: "presetBox"

            readonly property string matchName: section.matchName

            implicitWidth: 190
            model: section.presetNames
            currentIndex: section.presetNames.indexOf(section.matchName)
            displayText: section.matchName !== "" ? section.matchName : qsTr("Modified")
            // The box keeps showing the pick while its bound index does not move: put it back explicitly.
            onActivated: index => {
                section.choosePreset(index)
                currentIndex = Qt.binding(() => section.presetNames.indexOf(section.matchName))
            }
        }

        EffectsDialog.FxButton {
            objectName: "savePresetButton"
            text: qsTr("Save As\u2026")
            onClicked: savePresetPopup.open()
        }

        EffectsDialog.FxButton {
            objectName: "deletePresetButton"
            text: qsTr("Delete")
            enabled: section.isUserPreset(section.matchName)
            onClicked: Player.deleteEqPreset(section.matchName)
        }
    }

    Popup {
        id: savePresetPopup
        objectName: "savePresetPopup"

        modal: true
        y: 0
        x: (section.width - width) / 2
        padding: 12
        onOpened: {
            presetName.text = ""
            presetName.forceActiveFocus()
        }

        background: Rectangle {
            color: "#22252c"
            border.color: "#3a3d44"
            radius: 4
        }

        Row {
            spacing: 6

            TextField {
                id: presetName
                objectName: "presetName"
                width: 200
                placeholderText: qsTr("Preset name")
                color: "#e8eaed"
                placeholderTextColor: "#5f646d"
                // Accepted here: a field's Return also reaches its parents' key handlers.
                Keys.onReturnPressed: event => {
                    event.accepted = true
                    saveButton.clicked()
                }
                Keys.onEnterPressed: event => {
                    event.accepted = true
                    saveButton.clicked()
                }

                background: Rectangle {
                    implicitHeight: 26
                    radius: 3
                    color: "#1c1f26"
                    border.color: presetName.activeFocus ? "#ff5b22" : "#3a3d44"
                }
            }

            EffectsDialog.FxButton {
                id: saveButton
                objectName: "saveButton"
                text: qsTr("Save")
                onClicked: section.savePreset()
            }
        }
    }

    // A display estimate of the combined bells; the engine does the real filtering.
    Canvas {
        id: curve
        objectName: "curve"

        readonly property var bands: section.a.bands
        readonly property real preamp: AudioFx.numberOr(section.a.preamp, 0)
        readonly property bool on: section.eqEnabled

        width: section.width
        height: 70
        onBandsChanged: requestPaint()
        onPreampChanged: requestPaint()
        onOnChanged: requestPaint()
        onWidthChanged: requestPaint()

        onPaint: {
            const ctx = getContext("2d")
            ctx.reset()
            ctx.fillStyle = "#1c1f26"
            ctx.fillRect(0, 0, width, height)
            ctx.strokeStyle = "#3a3d44"
            ctx.lineWidth = 1
            ctx.beginPath()
            ctx.moveTo(0, Math.floor(height / 2) + 0.5)
            ctx.lineTo(width, Math.floor(height / 2) + 0.5)
            ctx.stroke()
            if (width <= 0)
                return
            ctx.strokeStyle = on ? "#ff7a45" : "#5f646d"
            ctx.lineWidth = 2
            ctx.beginPath()
            for (let x = 0; x <= width; x += 2) {
                const g = AudioFx.curveGain(bands, preamp, AudioFx.curveFreq(x, width))
                const y = height / 2 - g / 24 * height / 2
                if (x === 0)
                    ctx.moveTo(x, y)
                else
                    ctx.lineTo(x, y)
            }
            ctx.stroke()
        }
    }

    RowLayout {
        objectName: "sliderRow"
        width: section.width
        height: 190
        spacing: 2

        Repeater {
            model: 11

            ColumnLayout {
                id: column

                required property int index
                readonly property real value: section.bandValue(index)

                objectName: "band" + index
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.preferredWidth: 60
                spacing: 2

                Label {
                    objectName: "valueLabel"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: AudioFx.gainLabel(column.value)
                    textFormat: Text.PlainText
                    color: "#9ca3af"
                    font.family: "JetBrains Mono"
                    font.pixelSize: 9
                }

                EffectsDialog.FxSliderControl {
                    objectName: "bandSlider"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    orientation: Qt.Vertical
                    from: -20
                    to: 20
                    stepSize: 0.1
                    value: column.value
                    enabled: section.eqEnabled
                    Accessible.name: column.index === 0 ? qsTr("Preamp") : AudioFx.bandLabels[column.index - 1] + " Hz"
                    onMoved: section.setBand(column.index, Math.round(value * 10) / 10)
                }

                Label {
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: column.index === 0 ? qsTr("Pre") : AudioFx.bandLabels[column.index - 1]
                    textFormat: Text.PlainText
                    color: column.index === 0 ? "#ff7a45" : "#e8eaed"
                    font.pixelSize: 10
                }
            }
        }
    }
}
