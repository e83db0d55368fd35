import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The "Effects & Filters" window. Modeless: every change goes to the player at once, so it is heard and seen
// while the window is open. The pages edit working copies (a, v); Cancel puts back the baseline taken when
// the window opened, at the last Apply or when a new file brought its own settings. Storing is the player's
// business: Apply only moves the baseline.
Window {
    id: root

    // Working copies of Player.audioEffects and Player.videoFilters; the pages read and write them.
    property var a: ({})
    property var v: ({})
    // What Cancel restores. The per-file switch belongs to it: restored after the maps, the player would
    // store this file's effects as everybody's default and leave the file's own record deleted.
    property var baseA: ({})
    property var baseV: ({})
    property int baseDelay: 0
    property bool baseForThisFile: false
    // True while reload replaces the copies: the controls' reactions must not push the old values.
    property bool loading: false
    property var diag: ({})
    property int tab: 0
    // The copy Compare A/B has bypassed ("a", "v" or none): the tab shown may have changed since.
    property string compared: ""

    readonly property bool hasPlayer: typeof Player !== "undefined"

    title: qsTr("Effects & Filters")
    width: 820
    height: 640
    minimumWidth: 600
    minimumHeight: 500
    color: "#16181d"
    // Without CustomizeWindowHint X11 window managers add minimise and maximise anyway.
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint

    AppSettings {
        category: "fxDialog"
        property alias width: root.width
        property alias height: root.height
        property alias tab: root.tab
    }

    function clone(o) {
        return JSON.parse(JSON.stringify(o === undefined ? {} : o))
    }

    function reload() {
        stopCompare()
        loading = true
        a = clone(hasPlayer ? Player.audioEffects : {})
        v = clone(hasPlayer ? Player.videoFilters : {})
        loading = false
        // A comparison the engine still makes while the button shows none ends here.
        if (a.bypass) {
            a.bypass = false
            pushA()
        }
        if (v.bypass) {
            v.bypass = false
            pushV()
        }
    }

    function rebase() {
        baseA = clone(a)
        baseV = clone(v)
        baseDelay = hasPlayer ? Player.audioDelayMs : 0
        baseForThisFile = hasPlayer && Player.effectsForThisFile
    }

    function openDialog() {
        reload()
        rebase()
        show()
        raise()
        requestActivate()
    }

    // The push sends the whole map; the clone gives the copy a new identity so every binding reading it runs
    // again (changes in place alone would not refresh the controls).
    function pushA() {
        if (loading)
            return
        if (hasPlayer)
            Player.audioEffects = a
        a = clone(a)
    }

    function pushV() {
        if (loading)
            return
        if (hasPlayer)
            Player.videoFilters = v
        v = clone(v)
    }

    function setA(key, val) {
        a[key] = val
        pushA()
    }

    function setV(key, val) {
        v[key] = val
        pushV()
    }

    function cancel() {
        stopCompare()
        if (hasPlayer) {
            if (Player.effectsForThisFile !== baseForThisFile)
                Player.effectsForThisFile = baseForThisFile
            Player.audioEffects = baseA
            Player.videoFilters = baseV
            // The player announces every write of the delay, changed or not.
            if (Player.audioDelayMs !== baseDelay)
                Player.audioDelayMs = baseDelay
        }
        hide()
    }

    function apply() {
        a.bypass = false
        v.bypass = false
        pushA()
        pushV()
        rebase()
    }

    // Unchecks Compare A/B and clears the bypass in the copy, without pushing: every caller then writes maps
    // without the bypass (or reads the engine's fresh ones).
    function stopCompare() {
        if (compared === "a")
            a = Object.assign(clone(a), { bypass: false })
        else if (compared === "v")
            v = Object.assign(clone(v), { bypass: false })
        compared = ""
        compareButton.checked = false
    }

    // Bypasses the copy of the tab shown when the comparison starts, and clears the copy it bypassed when it
    // ends, whichever tab is shown then.
    function syncCompare() {
        const off = compareButton.checked || compareButton.holding
        if (off && compared === "") {
            compared = tab === 1 ? "v" : "a"
            if (compared === "a")
                setA("bypass", true)
            else
                setV("bypass", true)
        } else if (!off && compared !== "") {
            const which = compared
            compared = ""
            if (which === "a")
                setA("bypass", false)
            else
                setV("bypass", false)
        }
    }

    // The keys left out take the player's defaults; the audio delay is not touched. A comparison running on
    // this tab keeps running.
    function resetTab() {
        if (tab === 0) {
            a = {
                eqEnabled: false, preamp: 0, bands: [0, 0, 0, 0, 0, 0, 0, 0, 0, 0], normalize: "off", chain: [],
                swapChannels: false, mono: false, preservePitch: true
            }
            if (compared === "a")
                a.bypass = true
            pushA()
        } else {
            v = {
                deinterlace: "off", denoise: 0, sharpen: 0, brightness: 0, contrast: 1, saturation: 1, hue: 0,
                gamma: 1, temperature: 6500, rotate: 0, hflip: false, vflip: false, cropLeft: 0, cropTop: 0,
                cropRight: 0, cropBottom: 0, deband: 0, interpolate: false
            }
            if (compared === "v")
                v.bypass = true
            pushV()
        }
    }

    // Closing through the title bar discards what was not applied. The close itself is never refused: quitting
    // closes every window, hidden ones too, and a refusal would keep the whole process alive without a window.
    onClosing: cancel()

    // A new file brings its own settings (or the default): they become the copies and the whole baseline.
    Connections {
        target: root.hasPlayer ? Player : null

        function onMediaInfoChanged() {
            if (!root.visible)
                return
            root.reload()
            root.rebase()
        }
    }

    Timer {
        id: diagTimer
        objectName: "diagTimer"
        interval: 1000
        repeat: true
        running: root.visible
        triggeredOnStart: true
        onTriggered: root.diag = root.hasPlayer ? Player.effectsDiagnostics() : ({})
    }

    // ---- Controls shared by the pages -------------------------------------------------------------------

    component Heading: Label {
        // The first heading of a page sits flush with the top.
        property bool first: false

        topPadding: first ? 0 : 8
        color: "#ff7a45"
        font.family: "Segoe UI"
        font.pixelSize: 11
        font.weight: Font.DemiBold
        font.letterSpacing: 0.6
        textFormat: Text.PlainText
    }

    component Hint: Label {
        Layout.fillWidth: true
        width: parent ? parent.width : implicitWidth
        color: "#9ca3af"
        font.family: "Segoe UI"
        font.pixelSize: 11
        wrapMode: Text.WordWrap
        textFormat: Text.PlainText
    }

    component FxCheck: DarkCheck {
    }

    component FxCombo: DarkCombo {
    }

    component FxButton: Button {
        id: fxButton

        implicitHeight: 26
        leftPadding: 10
        rightPadding: 10
        topPadding: 3
        bottomPadding: 3

        contentItem: Text {
            text: fxButton.text
            textFormat: Text.PlainText
            font.family: "Segoe UI"
            font.pixelSize: 11
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
            color: !fxButton.enabled ? "#5f646d" : fxButton.checked ? "white" : "#e8eaed"
        }

        background: Rectangle {
            radius: 3
            border.width: 1
            border.color: fxButton.checked ? "#ff5b22" : "#3a3d44"
            color: fxButton.checked ? "#ff5b22" : fxButton.down ? "#3a3d44" : fxButton.hovered ? "#2a2d33" : "#1f2228"
        }
    }

    // Qt Quick Controls 6.4 do not snap while dragging: every slider snaps to its step.
    component FxSliderControl: Slider {
        id: fxSlider

        // Where the fill starts, as a fraction of the range: the zero of a range across it, else the start.
        readonly property real zero: from < 0 && to > 0 ? (0 - from) / (to - from) : 0

        snapMode: Slider.SnapAlways

        background: Rectangle {
            x: fxSlider.horizontal ? fxSlider.leftPadding : fxSlider.leftPadding + fxSlider.availableWidth / 2 - 2
            y: fxSlider.horizontal ? fxSlider.topPadding + fxSlider.availableHeight / 2 - 2 : fxSlider.topPadding
            implicitWidth: fxSlider.horizontal ? 120 : 4
            implicitHeight: fxSlider.horizontal ? 4 : 120
            width: fxSlider.horizontal ? fxSlider.availableWidth : 4
            height: fxSlider.horizontal ? 4 : fxSlider.availableHeight
            radius: 2
            color: "#2a2d33"

            Rectangle {
                objectName: "fill"
                readonly property real pos: fxSlider.visualPosition

                x: fxSlider.horizontal ? parent.width * Math.min(fxSlider.zero, pos) : 0
                y: fxSlider.horizontal ? 0 : parent.height * Math.min(1 - fxSlider.zero, pos)
                width: fxSlider.horizontal ? parent.width * Math.abs(pos - fxSlider.zero) : parent.width
                height: fxSlider.horizontal ? parent.height : parent.height * Math.abs(1 - fxSlider.zero - pos)
                radius: 2
                color: fxSlider.enabled ? "#ff7a45" : "#5f646d"
            }
        }

        handle: Rectangle {
            x: fxSlider.horizontal ? fxSlider.leftPadding + fxSlider.visualPosition * (fxSlider.availableWidth - 12)
                                   : fxSlider.leftPadding + fxSlider.availableWidth / 2 - 6
            y: fxSlider.horizontal ? fxSlider.topPadding + fxSlider.availableHeight / 2 - 6
                                   : fxSlider.topPadding + fxSlider.visualPosition * (fxSlider.availableHeight - 12)
            implicitWidth: 12
            implicitHeight: 12
            radius: 6
            color: fxSlider.pressed ? "#ff7a45" : fxSlider.enabled ? "#e8eaed" : "#5f646d"
        }
    }

    // A labelled slider with its readout and a reset button. It never writes its own value: the page's
    // handler of moved writes the working copy, and the binding brings the value back.
    component FxSlider: RowLayout {
        id: fxRow

        property string label
        property real from: 0
        property real to: 1
        property real stepSize: 0.01
        property real value: 0
        property real defaultValue: 0
        property int decimals: 2
        property string suffix: ""
        property real displayScale: 1
        readonly property string readout: (value * displayScale).toFixed(decimals) + suffix

        signal moved(real value)

        spacing: 8

        Label {
            Layout.preferredWidth: 120
            text: fxRow.label
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 12
            elide: Text.ElideRight
        }

        FxSliderControl {
            objectName: "slider"
            Layout.fillWidth: true
            from: fxRow.from
            to: fxRow.to
            stepSize: fxRow.stepSize
            value: fxRow.value
            Accessible.name: fxRow.label
            onMoved: fxRow.moved(value)
        }

        Label {
            objectName: "readout"
            Layout.preferredWidth: 72
            horizontalAlignment: Text.AlignRight
            text: fxRow.readout
            textFormat: Text.PlainText
            color: "#9ca3af"
            font.family: "JetBrains Mono"
            font.pixelSize: 11
        }

        Button {
            id: resetButton
            objectName: "resetButton"
            Layout.preferredWidth: 28
            Layout.preferredHeight: 24
            padding: 0
            text: "\u21ba"
            enabled: Math.abs(fxRow.value - fxRow.defaultValue) > 1e-6
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Reset")
            ToolTip.delay: 500
            onClicked: fxRow.moved(fxRow.defaultValue)

            contentItem: Text {
                text: resetButton.text
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                font.pixelSize: 13
                color: resetButton.enabled ? "#e8eaed" : "#3f434b"
            }

            background: Rectangle {
                radius: 3
                color: resetButton.hovered ? "#2a2d33" : "transparent"
            }
        }
    }

    // Four levels, Off to Heavy, as one row of buttons.
    component Level4: RowLayout {
        id: levelRow

        property string label
        property int value: 0

        signal picked(int index)

        spacing: 8

        Label {
            Layout.preferredWidth: 120
            text: levelRow.label
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 12
            elide: Text.ElideRight
        }

        Repeater {
            model: [qsTr("Off"), qsTr("Light"), qsTr("Medium"), qsTr("Heavy")]

            Button {
                id: levelButton

                required property int index
                required property string modelData

                objectName: "level" + index
                implicitHeight: 26
                leftPadding: 10
                rightPadding: 10
                checkable: true
                checked: levelRow.value === index
                text: modelData
                // A click toggles the button itself; the value alone decides which one shows checked.
                onClicked: {
                    levelRow.picked(index)
                    checked = Qt.binding(() => levelRow.value === index)
                }

                contentItem: Text {
                    text: levelButton.text
                    textFormat: Text.PlainText
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    color: levelButton.checked ? "white" : "#e8eaed"
                }

                background: Rectangle {
                    radius: 3
                    border.width: 1
                    border.color: "#3a3d44"
                    color: levelButton.checked ? "#ff5b22" : levelButton.hovered ? "#2a2d33" : "#1c1f26"
                }
            }
        }

        // Keeps the buttons together at the start of a wide row.
        Item {
            Layout.fillWidth: true
        }
    }

    // ---- Layout ---------------------------------------------------------------------------------------

    DarkWindowPane {
        ColumnLayout {
            id: frame
            anchors.fill: parent
            spacing: 8

            TabBar {
                id: tabBar
                objectName: "tabBar"
                Layout.fillWidth: true
                currentIndex: root.tab
                onCurrentIndexChanged: root.tab = currentIndex

                background: Rectangle {
                    color: "transparent"
                }

                Repeater {
                    model: [qsTr("Audio"), qsTr("Video")]

                    TabButton {
                        id: tabButton

                        required property int index
                        required property string modelData

                        objectName: "tab" + index
                        text: modelData
                        width: implicitWidth
                        leftPadding: 18
                        rightPadding: 18

                        contentItem: Text {
                            text: tabButton.text
                            textFormat: Text.PlainText
                            font.family: "Segoe UI"
                            font.pixelSize: 13
                            font.weight: tabButton.checked ? Font.DemiBold : Font.Normal
                            color: tabButton.checked ? "white" : "#9ca3af"
                            horizontalAlignment: Text.AlignHCenter
                            verticalAlignment: Text.AlignVCenter
                        }

                        background: Rectangle {
                            color: tabButton.checked ? "#232730" : "transparent"

                            Rectangle {
                                anchors.left: parent.left
                                anchors.right: parent.right
                                anchors.bottom: parent.bottom
                                height: 2
                                color: "#ff5b22"
                                visible: tabButton.checked
                            }
                        }
                    }
                }
            }

            StackLayout {
                objectName: "pages"
                Layout.fillWidth: true
                Layout.fillHeight: true
                currentIndex: root.tab

                // Loaded by URL: the pages use this file's shared controls (EffectsDialog.FxSlider, ...), and
                // naming them here as types would be a cycle that Qt 6.4 refuses to load.
                Loader {
                    objectName: "audioPage"
                    Component.onCompleted: setSource("EffectsAudioPage.qml", { dialog: root })
                }

                Loader {
                    objectName: "videoPage"
                    Component.onCompleted: setSource("EffectsVideoPage.qml", { dialog: root })
                }
            }

            Rectangle {
                Layout.fillWidth: true
                implicitHeight: 1
                color: "#2c3038"
            }

            // One row where it fits; in a narrow window the right-hand buttons go to a line of their own
            // rather than off the edge.
            GridLayout {
                id: footer
                objectName: "footer"

                // Measured against the pane, not the footer: a footer in one row cannot shrink below that row.
                readonly property bool oneRow: leftGroup.implicitWidth + rightGroup.implicitWidth + 12 <= frame.width

                Layout.fillWidth: true
                columns: oneRow ? 3 : 1
                columnSpacing: 6
                rowSpacing: 0

                RowLayout {
                    id: leftGroup
                    spacing: 6

                    FxCheck {
                        id: perFileCheck
                        objectName: "perFileCheck"
                        text: qsTr("Only for this file")
                        checked: root.hasPlayer && Player.effectsForThisFile
                        enabled: root.hasPlayer && Player.hasMedia
                        ToolTip.visible: hovered
                        ToolTip.delay: 500
                        ToolTip.text: qsTr("Remember these settings for this file only; other files keep the default.")
                        // The player may refuse (no local file): the box shows what it holds afterwards.
                        onToggled: {
                            Player.effectsForThisFile = checked
                            checked = Qt.binding(() => root.hasPlayer && Player.effectsForThisFile)
                        }
                    }

                    FxButton {
                        objectName: "makeDefaultButton"
                        text: qsTr("Make Default")
                        onClicked: Player.makeEffectsDefault()
                    }

                    FxButton {
                        objectName: "allOffButton"
                        text: qsTr("All Off")
                        // The baseline stays: Cancel still brings back what was there.
                        onClicked: {
                            Player.factoryResetEffects()
                            root.reload()
                        }
                    }
                }

                // The gap between the groups, and what keeps the footer as wide as the window when wrapped.
                Item {
                    Layout.fillWidth: true
                    implicitHeight: 0
                }

                RowLayout {
                    id: rightGroup
                    Layout.alignment: Qt.AlignRight
                    Layout.topMargin: footer.oneRow ? 0 : 6
                    spacing: 6

                    FxButton {
                        objectName: "resetTabButton"
                        text: qsTr("Reset Tab")
                        onClicked: root.resetTab()
                    }

                    FxButton {
                        id: compareButton
                        objectName: "compareButton"

                        // Held down while unchecked: a comparison for as long as the press lasts.
                        readonly property bool holding: pressed && !checked

                        text: qsTr("Compare A/B")
                        checkable: true
                        ToolTip.visible: hovered
                        ToolTip.delay: 500
                        ToolTip.text: qsTr("Hear / see the original without effects. Click to toggle, or hold.")
                        onCheckedChanged: root.syncCompare()
                        onHoldingChanged: root.syncCompare()
                    }

                    FxButton {
                        objectName: "cancelButton"
                        text: qsTr("Cancel")
                        onClicked: root.cancel()
                    }

                    FxButton {
                        objectName: "applyButton"
                        text: qsTr("Apply")
                        onClicked: {
                            root.stopCompare()
                            root.apply()
                        }
                    }

                    FxButton {
                        objectName: "applyCloseButton"
                        text: qsTr("Apply & Close")
                        onClicked: {
                            root.stopCompare()
                            root.apply()
                            root.hide()
                        }
                    }
                }
            }
        }
    }
}
