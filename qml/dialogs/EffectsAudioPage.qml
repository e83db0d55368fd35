import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer
import "AudioFx.js" as AudioFx

// The Audio page of the effects window. The window loads it with dialog set; the page reads and writes the
// window's working copies through it and builds its sections from the window's shared controls
// (EffectsDialog.Heading, EffectsDialog.FxSlider, ...). The audio delay alone goes straight to the player.
ScrollView {
    id: page

    // The EffectsDialog: its working copies, pushes and shared controls.
    required property var dialog

    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property var a: dialog.a
    readonly property string normalize: typeof a.normalize === "string" ? a.normalize : "off"
    readonly property bool replayGain: normalize === "rgtrack" || normalize === "rgalbum"
    readonly property var chain: Array.isArray(a.chain) ? a.chain : []
    readonly property int delayMs: hasPlayer ? Player.audioDelayMs : 0
    // Pop-ups are not among the items' children: reached through this.
    readonly property alias addEffectMenu: addEffectMenu

    clip: true
    contentWidth: availableWidth

    // The delay steps read the player each time: it clamps, and may have been changed elsewhere.
    function stepDelay(ms) {
        Player.audioDelayMs = Player.audioDelayMs + ms
    }

    function addEffect(kind) {
        const d = dialog
        if (!Array.isArray(d.a.chain))
            d.a.chain = []
        d.a.chain.push({ kind: kind, enabled: true, params: {} })
        d.pushA()
    }

    function moveStage(index, to) {
        const chain = dialog.a.chain
        const stage = chain.splice(index, 1)[0]
        if (to >= 0)
            chain.splice(to, 0, stage)
        dialog.pushA()
    }

    function setStageEnabled(index, on) {
        dialog.a.chain[index].enabled = on
        dialog.pushA()
    }

    function setAllEnabled(on) {
        for (const stage of dialog.a.chain)
            stage.enabled = on
        dialog.pushA()
    }

    function setParams(index, values) {
        const stage = dialog.a.chain[index]
        if (typeof stage.params !== "object" || stage.params === null)
            stage.params = {}
        Object.assign(stage.params, values)
        dialog.pushA()
    }

    Column {
        id: sections
        objectName: "sections"
        width: page.availableWidth - 12
        spacing: 6

        EqualizerSection {
            objectName: "equalizer"
            width: sections.width
            dialog: page.dialog
        }

        // ---- Loudness ---------------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("LOUDNESS")
        }

        RowLayout {
            width: sections.width
            spacing: 8

            Label {
                Layout.preferredWidth: 120
                text: qsTr("Normalization")
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 12
            }

            EffectsDialog.FxCombo {
                id: normalizeBox
                objectName: "normalizeBox"
                implicitWidth: 220
                model: AudioFx.normalizeModes.map(m => m.label)
                currentIndex: AudioFx.normalizeIndex(page.normalize)
                onActivated: index => {
                    page.dialog.setA("normalize", AudioFx.normalizeModes[index].key)
                    currentIndex = Qt.binding(() => AudioFx.normalizeIndex(page.normalize))
                }
            }

            Item {
                Layout.fillWidth: true
            }
        }

        EffectsDialog.FxSlider {
            objectName: "targetSlider"
            width: sections.width
            visible: page.normalize === "ebur128"
            label: qsTr("Target loudness")
            from: -31
            to: -10
            stepSize: 0.5
            decimals: 1
            suffix: " LUFS"
            value: AudioFx.numberOr(page.a.loudnessTarget, 0) || -16
            defaultValue: -16
            onMoved: value => page.dialog.setA("loudnessTarget", value)
        }

        EffectsDialog.FxSlider {
            objectName: "rgPreampSlider"
            width: sections.width
            visible: page.replayGain
            label: qsTr("ReplayGain pre-amp")
            from: -15
            to: 15
            stepSize: 0.5
            decimals: 1
            suffix: " dB"
            value: AudioFx.numberOr(page.a.replayGainPreamp, 0)
            defaultValue: 0
            onMoved: value => page.dialog.setA("replayGainPreamp", value)
        }

        EffectsDialog.FxSlider {
            objectName: "peakSlider"
            width: sections.width
            visible: typeof page.a.normalize === "string" && page.a.normalize !== "off"
            label: qsTr("Peak ceiling")
            from: -6
            to: 0
            stepSize: 0.1
            decimals: 1
            suffix: " dBTP"
            value: AudioFx.numberOr(page.a.truePeak, -1)
            defaultValue: -1
            onMoved: value => page.dialog.setA("truePeak", value)
        }

        EffectsDialog.Hint {
            id: replayGainHint
            objectName: "replayGainHint"

            // Re-read with every new file.
            property real trackDb: NaN
            property real albumDb: NaN

            function refresh() {
                trackDb = page.hasPlayer ? Player.replayGainTrackDb : NaN
                albumDb = page.hasPlayer ? Player.replayGainAlbumDb : NaN
            }

            width: sections.width
            visible: page.replayGain
            text: AudioFx.replayGainHint(trackDb, albumDb)
            Component.onCompleted: refresh()

            Connections {
                target: page.hasPlayer ? Player : null

                function onMediaInfoChanged() {
                    replayGainHint.refresh()
                }
            }
        }

        // ---- Audio sync -------------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("AUDIO SYNC")
        }

        RowLayout {
            width: sections.width
            spacing: 6

            Label {
                Layout.preferredWidth: 120
                text: qsTr("Audio delay")
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 12
            }

            EffectsDialog.FxButton {
                objectName: "delayMinus100"
                text: "\u2212100"
                onClicked: page.stepDelay(-100)
            }

            EffectsDialog.FxButton {
                objectName: "delayMinus10"
                text: "\u221210"
                onClicked: page.stepDelay(-10)
            }

            EffectsDialog.FxSliderControl {
                objectName: "delaySlider"
                Layout.fillWidth: true
                from: -3000
                to: 3000
                stepSize: 10
                value: page.delayMs
                Accessible.name: qsTr("Audio delay")
                onMoved: Player.audioDelayMs = Math.round(value)
            }

            EffectsDialog.FxButton {
                objectName: "delayPlus10"
                text: "+10"
                onClicked: page.stepDelay(10)
            }

            EffectsDialog.FxButton {
                objectName: "delayPlus100"
                text: "+100"
                onClicked: page.stepDelay(100)
            }

            Label {
                objectName: "delayReadout"
                Layout.preferredWidth: 64
                horizontalAlignment: Text.AlignRight
                text: page.delayMs + " ms"
                textFormat: Text.PlainText
                color: "#9ca3af"
                font.family: "JetBrains Mono"
                font.pixelSize: 11
            }

            EffectsDialog.FxButton {
                objectName: "delayResetButton"
                text: qsTr("Reset")
                enabled: page.delayMs !== 0
                onClicked: Player.audioDelayMs = 0
            }
        }

        EffectsDialog.Hint {
            width: sections.width
            text: qsTr("Positive values make the sound play later than the picture. Saved with the file when \"Only for this file\" is on.")
        }

        // ---- Effects chain ----------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("EFFECTS CHAIN")
        }

        EffectsDialog.Hint {
            width: sections.width
            text: qsTr("Effects run top to bottom after the equalizer.")
        }

        Repeater {
            objectName: "stages"
            model: page.chain.length

            Rectangle {
                id: panel

                required property int index
                readonly property var stage: page.chain[index] || ({})
                readonly property var kind: AudioFx.effectKind(stage.kind)
                readonly property bool stageEnabled: stage.enabled !== false
                readonly property var params: typeof stage.params === "object" && stage.params !== null ? stage.params : ({})

                objectName: "stage" + index
                width: sections.width
                height: content.implicitHeight + 12
                radius: 4
                color: "#1c1f26"
                border.color: stageEnabled ? "#3a3d44" : "#26292f"

                Column {
                    id: content
                    x: 8
                    y: 6
                    width: panel.width - 16
                    spacing: 2

                    RowLayout {
                        width: content.width
                        spacing: 6

                        EffectsDialog.FxCheck {
                            objectName: "stageCheck"
                            text: panel.kind.name
                            checked: panel.stageEnabled
                            onToggled: page.setStageEnabled(panel.index, checked)
                        }

                        EffectsDialog.FxCombo {
                            objectName: "compressorPresets"
                            visible: panel.kind.kind === "compressor"
                            implicitWidth: 130
                            model: [qsTr("Presets\u2026")].concat(AudioFx.compressorPresets.map(p => p.name))
                            currentIndex: 0
                            // Never keeps a pick, so choosing the same preset twice applies it twice.
                            onActivated: index => {
                                if (index > 0)
                                    page.setParams(panel.index, AudioFx.compressorPresets[index - 1].values)
                                currentIndex = 0
                            }
                        }

                        Item {
                            Layout.fillWidth: true
                        }

                        EffectsDialog.FxButton {
                            objectName: "moveUpButton"
                            text: "\u25b2"
                            enabled: panel.index > 0
                            ToolTip.visible: hovered
                            ToolTip.text: qsTr("Move up")
                            onClicked: page.moveStage(panel.index, panel.index - 1)
                        }

                        EffectsDialog.FxButton {
                            objectName: "moveDownButton"
                            text: "\u25bc"
                            enabled: panel.index < page.chain.length - 1
                            ToolTip.visible: hovered
                            ToolTip.text: qsTr("Move down")
                            onClicked: page.moveStage(panel.index, panel.index + 1)
                        }

                        EffectsDialog.FxButton {
                            objectName: "removeButton"
                            text: "\u2715"
                            ToolTip.visible: hovered
                            ToolTip.text: qsTr("Remove")
                            onClicked: page.moveStage(panel.index, -1)
                        }
                    }

                    // A count, not the table: a model that compares unequal after each push would rebuild the
                    // sliders under the pointer in the middle of a drag.
                    Repeater {
                        model: panel.kind.params.length

                        EffectsDialog.FxSlider {
                            required property int index
                            readonly property var param: panel.kind.params[index]

                            objectName: "param_" + param.key
                            width: content.width
                            enabled: panel.stageEnabled
                            label: param.label
                            from: param.from
                            to: param.to
                            stepSize: param.step
                            defaultValue: param.def
                            decimals: AudioFx.decimalsFor(param.step)
                            suffix: param.suffix
                            value: AudioFx.numberOr(panel.params[param.key], param.def)
                            onMoved: value => page.setParams(panel.index, { [param.key]: value })
                        }
                    }
                }
            }
        }

        Row {
            spacing: 6

            EffectsDialog.FxButton {
                id: addEffectButton
                objectName: "addEffectButton"
                text: qsTr("Add Effect\u2026")
                onClicked: addEffectMenu.popup(addEffectButton, 0, addEffectButton.height)
            }

            EffectsDialog.FxButton {
                objectName: "enableAllButton"
                text: qsTr("Enable All")
                enabled: page.chain.length > 0
                onClicked: page.setAllEnabled(true)
            }

            EffectsDialog.FxButton {
                objectName: "disableAllButton"
                text: qsTr("Disable All")
                enabled: page.chain.length > 0
                onClicked: page.setAllEnabled(false)
            }
        }

        AppMenu {
            id: addEffectMenu
            objectName: "addEffectMenu"

            Action {
                text: AudioFx.effectKinds[0].name
                onTriggered: page.addEffect("compressor")
            }
            Action {
                text: AudioFx.effectKinds[1].name
                onTriggered: page.addEffect("limiter")
            }
            Action {
                text: AudioFx.effectKinds[2].name
                onTriggered: page.addEffect("widener")
            }
            Action {
                text: AudioFx.effectKinds[3].name
                onTriggered: page.addEffect("bass")
            }
            Action {
                text: AudioFx.effectKinds[4].name
                onTriggered: page.addEffect("treble")
            }
            Action {
                text: AudioFx.effectKinds[5].name
                onTriggered: page.addEffect("voice")
            }
        }

        // ---- Channels and speed -----------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("CHANNELS & SPEED")
        }

        EffectsDialog.FxCheck {
            objectName: "swapCheck"
            text: qsTr("Swap left and right channels")
            checked: page.a.swapChannels === true
            onToggled: page.dialog.setA("swapChannels", checked)
        }

        EffectsDialog.FxCheck {
            objectName: "monoCheck"
            text: qsTr("Mono (mix all channels)")
            checked: page.a.mono === true
            onToggled: page.dialog.setA("mono", checked)
        }

        EffectsDialog.FxCheck {
            objectName: "pitchCheck"
            text: qsTr("Keep pitch when changing speed")
            checked: page.a.preservePitch !== false
            onToggled: page.dialog.setA("preservePitch", checked)
        }

        EffectsDialog.Hint {
            width: sections.width
            text: qsTr("Pitch changes apply the next time the speed changes or the file reopens.")
        }

        Label {
            objectName: "audioFiltersLine"
            width: sections.width
            topPadding: 8
            text: qsTr("Active audio filters: %1").arg(page.dialog.diag.audioGraph ? page.dialog.diag.audioGraph
                                                                                  : qsTr("none"))
            textFormat: Text.PlainText
            wrapMode: Text.WrapAnywhere
            color: "#5f646d"
            font.family: "JetBrains Mono"
            font.pixelSize: 9
        }
    }
}
