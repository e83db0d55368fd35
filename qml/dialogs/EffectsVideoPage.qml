import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The Video page of the effects window. The window loads it with dialog set; the page reads and writes the
// window's working copy v through it and builds its sections from the window's shared controls
// (EffectsDialog.Heading, EffectsDialog.FxSlider, ...). Every control sends the whole map at once; the player
// draws a paused picture again, so each change shows without playing.
ScrollView {
    id: page

    // The EffectsDialog: its working copies, pushes and shared controls.
    required property var dialog

    // The working copy; a push replaces it, so every binding below reads the new one.
    readonly property var v: dialog ? dialog.v : ({})
    readonly property bool hasVideo: dialog && dialog.hasPlayer && Player.hasVideo

    // What the last detection found (or did not); kept until the next detection or Clear Crop.
    property string letterboxNote: ""

    function setV(key, value) {
        dialog.setV(key, value)
    }

    function chooseLook(index) {
        const look = VideoFx.looks[index]
        for (const key of VideoFx.colorKeys)
            dialog.v[key] = look[key]
        dialog.pushV()
    }

    function resetColor() {
        chooseLook(0)
    }

    // The picture measured is the one shown, already cropped, rotated and flipped: what is found is mapped
    // back onto the source's sides and added to the crops in force.
    function detectBlackBars() {
        const found = Player.detectLetterbox()
        if (!found.found) {
            letterboxNote = VideoFx.noBarsNote
            return
        }
        const crops = VideoFx.cropsAfterDetection(dialog.v, found)
        Object.assign(dialog.v, crops)
        dialog.pushV()
        letterboxNote = VideoFx.detectionNote(crops)
    }

    function clearCrop() {
        Object.assign(dialog.v, { cropLeft: 0, cropTop: 0, cropRight: 0, cropBottom: 0 })
        dialog.pushV()
        letterboxNote = ""
    }

    clip: true
    contentWidth: availableWidth

    // A label in front of a row's controls.
    component RowLabel: Label {
        Layout.preferredWidth: 120
        textFormat: Text.PlainText
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 12
        elide: Text.ElideRight
    }

    // Inline components do not see this file's ids: each takes what it shows as a property and tells its
    // user what was chosen.

    // A box of choices from one of the tables, showing the entry whose key is current.
    component TableCombo: EffectsDialog.FxCombo {
        id: tableCombo

        property var table: []
        property var current

        signal chosen(var value)

        model: VideoFx.labels(table)
        currentIndex: VideoFx.indexOf(table, current)
        // The box moves its own index on a choice: the working copy alone decides what it shows.
        onActivated: index => {
            tableCombo.chosen(table[index].key)
            currentIndex = Qt.binding(() => VideoFx.indexOf(tableCombo.table, tableCombo.current))
        }
    }

    // The "Method" row under a strength, shown only while the strength is on.
    component MethodRow: RowLayout {
        id: methodRow

        property alias table: methodCombo.table
        property alias current: methodCombo.current

        signal chosen(var value)

        spacing: 8

        RowLabel {
            text: qsTr("Method")
            color: "#9ca3af"
        }

        TableCombo {
            id: methodCombo
            objectName: methodRow.objectName + "Combo"
            Layout.preferredWidth: 220
            onChosen: value => methodRow.chosen(value)
        }
    }

    // A crop side: its small label and a box taking plain digits. 6.4 would show "2,000" with the locale's
    // group separator and read it back as nothing.
    component CropBox: Row {
        id: cropBox

        property alias label: cropLabel.text
        property alias box: spin
        property int crop: 0

        signal edited(int value)

        spacing: 6

        Label {
            id: cropLabel
            anchors.verticalCenter: parent.verticalCenter
            textFormat: Text.PlainText
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 11
        }

        SpinBox {
            id: spin
            objectName: cropBox.objectName + "Box"
            width: 104
            from: 0
            to: 2000
            stepSize: 2
            editable: true
            value: cropBox.crop
            font.pixelSize: 12
            textFromValue: (value, locale) => String(value)
            valueFromText: (text, locale) => {
                const digits = /\d+/.exec(text)
                return digits ? Math.min(parseInt(digits[0], 10), spin.to) : spin.value
            }
            // Digits only; the box clamps a larger number to its range.
            validator: RegularExpressionValidator {
                regularExpression: /\d{0,6}/
            }
            // Only the user's changes are sent; the binding then shows the working copy again.
            onValueModified: {
                cropBox.edited(value)
                value = Qt.binding(() => cropBox.crop)
            }
        }
    }

    // A rotation, styled as the strength buttons; checked while it is the current one.
    component RotateButton: Button {
        id: rotateButton

        property int degrees
        property int current

        objectName: "rotate" + degrees
        implicitHeight: 26
        leftPadding: 10
        rightPadding: 10
        checkable: true
        checked: current === degrees
        text: degrees + "\u00b0"

        contentItem: Text {
            text: rotateButton.text
            textFormat: Text.PlainText
            font.family: "Segoe UI"
            font.pixelSize: 11
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            color: rotateButton.checked ? "white" : "#e8eaed"
        }

        background: Rectangle {
            radius: 3
            border.width: 1
            border.color: "#3a3d44"
            color: rotateButton.checked ? "#ff5b22" : rotateButton.hovered ? "#2a2d33" : "#1c1f26"
        }
    }

    ButtonGroup {
        id: rotationGroup
        exclusive: true
    }

    // A click checks its button and the group unchecks the others, which ends their bindings: they are
    // bound to the working copy again once it holds the new rotation.
    function rotate(degrees) {
        setV("rotate", degrees)
        for (let i = 0; i < rotationButtons.count; ++i) {
            const b = rotationButtons.itemAt(i)
            b.checked = Qt.binding(() => b.current === b.degrees)
        }
    }

    Column {
        id: sections
        objectName: "sections"
        width: page.availableWidth - 12
        spacing: 6

        // ---- Colour -------------------------------------------------------------------------------------

        RowLayout {
            width: parent.width
            spacing: 8

            EffectsDialog.Heading {
                first: true
                text: qsTr("COLOR")
            }

            Item {
                Layout.fillWidth: true
            }

            EffectsDialog.FxCombo {
                id: lookCombo
                objectName: "lookCombo"
                model: VideoFx.looks.map(look => look.name)
                currentIndex: VideoFx.lookIndex(page.v)
                displayText: VideoFx.lookName(page.v)
                onActivated: index => {
                    page.chooseLook(index)
                    currentIndex = Qt.binding(() => VideoFx.lookIndex(page.v))
                }
            }

            EffectsDialog.FxButton {
                objectName: "resetColorButton"
                text: qsTr("Reset Color")
                onClicked: page.resetColor()
            }
        }

        Repeater {
            model: VideoFx.colorSliders

            EffectsDialog.FxSlider {
                required property var modelData

                objectName: modelData.key + "Slider"
                width: sections.width
                label: modelData.label
                from: modelData.from
                to: modelData.to
                stepSize: modelData.step
                defaultValue: modelData.def
                value: VideoFx.number(page.v[modelData.key], modelData.def)
                displayScale: modelData.scale
                decimals: modelData.decimals
                suffix: modelData.suffix
                onMoved: value => page.setV(modelData.key, value)
            }
        }

        // ---- Detail -------------------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("DETAIL")
        }

        EffectsDialog.Level4 {
            objectName: "sharpenLevel"
            width: sections.width
            label: qsTr("Sharpen")
            value: VideoFx.number(page.v.sharpen, 0)
            onPicked: index => page.setV("sharpen", index)
        }

        MethodRow {
            objectName: "sharpenMethod"
            visible: VideoFx.number(page.v.sharpen, 0) > 0
            table: VideoFx.sharpenMethods
            current: page.v.sharpenMethod
            onChosen: value => page.setV("sharpenMethod", value)
        }

        EffectsDialog.Level4 {
            objectName: "denoiseLevel"
            width: sections.width
            label: qsTr("Denoise")
            value: VideoFx.number(page.v.denoise, 0)
            onPicked: index => page.setV("denoise", index)
        }

        MethodRow {
            objectName: "denoiseMethod"
            visible: VideoFx.number(page.v.denoise, 0) > 0
            table: VideoFx.denoiseMethods
            current: page.v.denoiseMethod
            onChosen: value => page.setV("denoiseMethod", value)
        }

        EffectsDialog.Level4 {
            objectName: "debandLevel"
            width: sections.width
            label: qsTr("Deband")
            value: VideoFx.number(page.v.deband, 0)
            onPicked: index => page.setV("deband", index)
        }

        EffectsDialog.Hint {
            objectName: "detailTip"
            visible: VideoFx.number(page.v.sharpen, 0) >= 2 && VideoFx.number(page.v.denoise, 0) >= 2
            color: "#fbbf24"
            text: qsTr("Tip: strong denoise and strong sharpening work against each other \u2014 sharpening brings back the grain denoise removed.")
        }

        // ---- Deinterlace --------------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("DEINTERLACE")
        }

        // The controls after a row's label wrap in a narrow window rather than run off its edge.
        RowLayout {
            width: sections.width
            spacing: 8

            RowLabel {
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 6
                text: qsTr("Mode")
            }

            Flow {
                id: deinterlaceFlow

                // Method and field rate apply only while deinterlacing is on; off, they keep their values.
                readonly property bool deinterlacing: page.v.deinterlace !== undefined && page.v.deinterlace !== "off"

                Layout.fillWidth: true
                spacing: 8

                TableCombo {
                    objectName: "deinterlaceCombo"
                    width: 250
                    table: VideoFx.deinterlaceModes
                    current: page.v.deinterlace
                    onChosen: value => page.setV("deinterlace", value)
                }

                TableCombo {
                    objectName: "deinterlaceMethodCombo"
                    width: 110
                    enabled: deinterlaceFlow.deinterlacing
                    table: VideoFx.deinterlaceMethods
                    current: page.v.deinterlaceMethod
                    onChosen: value => page.setV("deinterlaceMethod", value)
                }

                EffectsDialog.FxCheck {
                    objectName: "fieldRateCheck"
                    enabled: deinterlaceFlow.deinterlacing
                    text: qsTr("Full field rate")
                    checked: page.v.deinterlaceFieldRate !== false
                    onToggled: {
                        page.setV("deinterlaceFieldRate", checked)
                        checked = Qt.binding(() => page.v.deinterlaceFieldRate !== false)
                    }
                }
            }
        }

        // ---- Geometry -----------------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("GEOMETRY")
        }

        RowLayout {
            width: sections.width
            spacing: 6

            RowLabel {
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 5
                text: qsTr("Rotate")
            }

            Flow {
                Layout.fillWidth: true
                spacing: 6

                Repeater {
                    id: rotationButtons
                    model: VideoFx.rotations

                    RotateButton {
                        required property int modelData
                        degrees: modelData
                        current: VideoFx.rotation(page.v)
                        ButtonGroup.group: rotationGroup
                        onClicked: page.rotate(degrees)
                    }
                }

                EffectsDialog.FxCheck {
                    objectName: "hflipCheck"
                    text: qsTr("Mirror horizontally")
                    checked: page.v.hflip === true
                    onToggled: {
                        page.setV("hflip", checked)
                        checked = Qt.binding(() => page.v.hflip === true)
                    }
                }

                EffectsDialog.FxCheck {
                    objectName: "vflipCheck"
                    text: qsTr("Flip vertically")
                    checked: page.v.vflip === true
                    onToggled: {
                        page.setV("vflip", checked)
                        checked = Qt.binding(() => page.v.vflip === true)
                    }
                }
        
            }
        }

        RowLayout {
            width: sections.width
            spacing: 6

            RowLabel {
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 10
                text: qsTr("Crop (pixels)")
            }

            // The four boxes wrap in a narrow window rather than run off its edge.
            Flow {
                Layout.fillWidth: true
                spacing: 12

                CropBox {
                    objectName: "cropLeft"
                    label: qsTr("Left")
                    crop: Math.round(VideoFx.number(page.v.cropLeft, 0))
                    onEdited: value => page.setV("cropLeft", value)
                }
                CropBox {
                    objectName: "cropTop"
                    label: qsTr("Top")
                    crop: Math.round(VideoFx.number(page.v.cropTop, 0))
                    onEdited: value => page.setV("cropTop", value)
                }
                CropBox {
                    objectName: "cropRight"
                    label: qsTr("Right")
                    crop: Math.round(VideoFx.number(page.v.cropRight, 0))
                    onEdited: value => page.setV("cropRight", value)
                }
                CropBox {
                    objectName: "cropBottom"
                    label: qsTr("Bottom")
                    crop: Math.round(VideoFx.number(page.v.cropBottom, 0))
                    onEdited: value => page.setV("cropBottom", value)
                }
            }
        }

        RowLayout {
            width: sections.width
            spacing: 6

            Item {
                Layout.preferredWidth: 120
            }

            EffectsDialog.FxButton {
                objectName: "detectButton"
                text: qsTr("Detect Black Bars")
                enabled: page.hasVideo
                onClicked: page.detectBlackBars()
            }

            EffectsDialog.FxButton {
                objectName: "clearCropButton"
                text: qsTr("Clear Crop")
                onClicked: page.clearCrop()
            }

            EffectsDialog.Hint {
                objectName: "letterboxNote"
                Layout.fillWidth: true
                text: page.letterboxNote
            }
        }

        // ---- Frame interpolation ------------------------------------------------------------------------

        EffectsDialog.Heading {
            text: qsTr("FRAME INTERPOLATION")
        }

        RowLayout {
            spacing: 8

            EffectsDialog.FxCheck {
                objectName: "interpolateCheck"
                text: qsTr("Smooth motion (motion-compensated)")
                checked: page.v.interpolate === true
                onToggled: {
                    page.setV("interpolate", checked)
                    checked = Qt.binding(() => page.v.interpolate === true)
                }
            }

            EffectsDialog.FxCombo {
                id: rateCombo
                objectName: "rateCombo"
                Layout.preferredWidth: 80
                enabled: page.v.interpolate === true
                model: VideoFx.labels(VideoFx.interpolateRates)
                currentIndex: VideoFx.rateIndex(page.v)
                onActivated: index => {
                    page.setV("interpolateFps", VideoFx.interpolateRates[index].key)
                    currentIndex = Qt.binding(() => VideoFx.rateIndex(page.v))
                }
            }

            Label {
                text: qsTr("fps")
                textFormat: Text.PlainText
                color: "#9ca3af"
                font.family: "Segoe UI"
                font.pixelSize: 12
            }
        }

        EffectsDialog.Hint {
            text: qsTr("Creates in-between frames for smoother motion (sports, games). It is very CPU-heavy \u2014 high resolutions may stutter \u2014 and some viewers find it makes film look like video.")
        }

        // ---- Diagnostics --------------------------------------------------------------------------------

        Label {
            objectName: "diagnostics"
            width: sections.width
            topPadding: 8
            text: VideoFx.diagnosticsText(page.dialog ? page.dialog.diag : ({}))
            color: VideoFx.diagnosticsColor(page.dialog ? page.dialog.diag : ({}))
            textFormat: Text.PlainText
            font.family: "JetBrains Mono"
            font.pixelSize: 9
            wrapMode: Text.WrapAnywhere
        }
    }
}
