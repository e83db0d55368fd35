import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

TestCase {
    id: testCase
    name: "DarkControls"
    width: 400
    height: 300
    // A TestCase is invisible by default, and so would be every control in it: no hover, no check mark.
    visible: true
    when: windowShown

    Component { id: buttonComponent; DarkButton { hoverEnabled: true } }
    Component { id: checkComponent; DarkCheck {} }
    Component { id: comboComponent; DarkCombo { model: ["One", "Two", "Three"] } }
    Component { id: sliderComponent; DarkSlider {} }
    Component { id: stockButtonComponent; Button {} }
    Component {
        id: secondaryWindowComponent
        Window {
            visible: true
            width: 200
            height: 150
            property alias pane: pane
            property alias inside: inside
            property alias outside: outside
            Button { id: outside }
            DarkWindowPane {
                id: pane
                Button { id: inside }
            }
        }
    }

    function sameColour(actual, expected, what) {
        verify(Qt.colorEqual(actual, expected), what + ": " + actual + ", expected " + expected)
    }

    // Leaves no control under the pointer from an earlier case.
    function init() {
        mouseMove(testCase, testCase.width - 1, testCase.height - 1)
    }

    function test_buttonColours_data() {
        return [
            { tag: "disabled", enabled: false, checked: false, accent: false, down: false, hover: false,
              fill: "#1a1c21", border: "#3a3d44", label: "#5f646d" },
            { tag: "disabled accent, checked and down", enabled: false, checked: true, accent: true, down: true,
              hover: false, fill: "#1a1c21", border: "#3a3d44", label: "#5f646d" },
            { tag: "accent down", enabled: true, checked: false, accent: true, down: true, hover: false,
              fill: "#e04d18", border: "#ff5b22", label: "white" },
            { tag: "checked down hovered", enabled: true, checked: true, accent: false, down: true, hover: true,
              fill: "#e04d18", border: "#ff5b22", label: "white" },
            { tag: "accent hovered", enabled: true, checked: false, accent: true, down: false, hover: true,
              fill: "#ff7a45", border: "#ff5b22", label: "white" },
            { tag: "accent", enabled: true, checked: false, accent: true, down: false, hover: false,
              fill: "#ff5b22", border: "#ff5b22", label: "white" },
            { tag: "checked", enabled: true, checked: true, accent: false, down: false, hover: false,
              fill: "#ff5b22", border: "#ff5b22", label: "white" },
            { tag: "checked accent", enabled: true, checked: true, accent: true, down: false, hover: false,
              fill: "#ff5b22", border: "#ff5b22", label: "white" },
            { tag: "down", enabled: true, checked: false, accent: false, down: true, hover: false,
              fill: "#3a3d44", border: "#3a3d44", label: "#e8eaed" },
            { tag: "down hovered", enabled: true, checked: false, accent: false, down: true, hover: true,
              fill: "#3a3d44", border: "#3a3d44", label: "#e8eaed" },
            { tag: "hovered", enabled: true, checked: false, accent: false, down: false, hover: true,
              fill: "#2a2d33", border: "#3a3d44", label: "#e8eaed" },
            { tag: "resting", enabled: true, checked: false, accent: false, down: false, hover: false,
              fill: "#1f2228", border: "#3a3d44", label: "#e8eaed" },
        ]
    }
    function test_buttonColours(row) {
        const button = createTemporaryObject(buttonComponent, testCase, {
            text: "Play", checkable: row.checked, checked: row.checked, accent: row.accent,
            enabled: row.enabled, down: row.down })
        if (row.hover)
            mouseMove(button, button.width / 2, button.height / 2)
        tryCompare(button, "hovered", row.hover)
        sameColour(button.background.color, row.fill, "fill")
        sameColour(button.background.border.color, row.border, "border")
        sameColour(button.contentItem.color, row.label, "label")
    }

    function test_buttonShape() {
        const button = createTemporaryObject(buttonComponent, testCase, { text: "Keep converting" })
        compare(button.height, 26)
        compare([button.leftPadding, button.rightPadding, button.topPadding, button.bottomPadding], [10, 10, 3, 3])
        compare(button.background.radius, 3)
        compare(button.background.border.width, 1)
        compare(button.contentItem.font.family, "Segoe UI")
        compare(button.contentItem.font.pixelSize, 11)
        compare(button.contentItem.font.weight, Font.Normal)
        compare(button.contentItem.horizontalAlignment, Text.AlignHCenter)
        compare(button.contentItem.verticalAlignment, Text.AlignVCenter)
        compare(button.contentItem.textFormat, Text.PlainText)
        compare(button.contentItem.text, "Keep converting")
    }

    // Without a width the button grows with its label; narrower than its label, the label is elided.
    function test_buttonWidthFollowsItsLabel() {
        const button = createTemporaryObject(buttonComponent, testCase, { text: "Stop" })
        compare(button.width, button.contentItem.implicitWidth + 20)
        const narrow = button.width
        button.text = "Stop Casting and return"
        verify(button.width > narrow)
        compare(button.width, button.contentItem.implicitWidth + 20)
        verify(!button.contentItem.truncated)
        button.width = 30
        verify(button.contentItem.truncated)
    }

    // Pressed looks pressed whether or not the pointer is over it; released over it, it looks hovered.
    function test_buttonPressAndRelease_data() {
        return [{ tag: "plain", accent: false, pressed: "#3a3d44", hover: "#2a2d33", rest: "#1f2228" },
                { tag: "accent", accent: true, pressed: "#e04d18", hover: "#ff7a45", rest: "#ff5b22" }]
    }
    function test_buttonPressAndRelease(row) {
        const button = createTemporaryObject(buttonComponent, testCase, { text: "OK", accent: row.accent })
        const clicked = createTemporaryObject(signalSpyComponent, testCase, { target: button, signalName: "clicked" })
        mouseMove(button, button.width / 2, button.height / 2)
        tryCompare(button, "hovered", true)
        mousePress(button, button.width / 2, button.height / 2)
        sameColour(button.background.color, row.pressed, "pressed under the pointer")
        mouseRelease(button, button.width / 2, button.height / 2)
        compare(clicked.count, 1)
        sameColour(button.background.color, row.hover, "released over it")

        mouseMove(testCase, testCase.width - 1, testCase.height - 1)
        tryCompare(button, "hovered", false)
        button.forceActiveFocus()
        keyPress(Qt.Key_Space)
        sameColour(button.background.color, row.pressed, "pressed from the keyboard")
        keyRelease(Qt.Key_Space)
        compare(clicked.count, 2)
        sameColour(button.background.color, row.rest, "released")
    }

    Component { id: signalSpyComponent; SignalSpy {} }

    function test_buttonCheckableToggles() {
        const button = createTemporaryObject(buttonComponent, testCase, { text: "Loop", checkable: true })
        mouseClick(button)
        verify(button.checked)
        mouseMove(testCase, testCase.width - 1, testCase.height - 1)
        tryCompare(button, "hovered", false)
        sameColour(button.background.color, "#ff5b22", "checked fill")
        sameColour(button.contentItem.color, "white", "checked label")
    }

    function test_checkColours_data() {
        return [
            { tag: "checked", checked: true, enabled: true, fill: "#ff5b22", border: "#ff5b22", mark: true, label: "#e8eaed" },
            { tag: "unchecked", checked: false, enabled: true, fill: "#1c1f26", border: "#5f646d", mark: false, label: "#e8eaed" },
            { tag: "disabled checked", checked: true, enabled: false, fill: "#ff5b22", border: "#ff5b22", mark: true, label: "#5f646d" },
            { tag: "disabled unchecked", checked: false, enabled: false, fill: "#1c1f26", border: "#5f646d", mark: false, label: "#5f646d" },
        ]
    }
    function test_checkColours(row) {
        const check = createTemporaryObject(checkComponent, testCase, {
            text: "Remember", checked: row.checked, enabled: row.enabled })
        const box = check.indicator
        const mark = box.children[0]
        sameColour(box.color, row.fill, "box")
        sameColour(box.border.color, row.border, "box border")
        compare(mark.visible, row.mark)
        sameColour(mark.color, "white", "mark")
        sameColour(check.contentItem.color, row.label, "label")
    }

    function test_checkShape() {
        const check = createTemporaryObject(checkComponent, testCase, { text: "Remember", height: 40 })
        const box = check.indicator
        compare([box.width, box.height, box.radius, box.border.width], [16, 16, 3, 1])
        compare(box.x, check.leftPadding)
        compare(box.y, 12)
        const mark = box.children[0]
        compare(mark.text, "\u2713")
        compare(mark.font.pixelSize, 12)
        compare(mark.font.bold, true)
        // Centred on whole pixels: a glyph of odd width or height (fonts differ) leaves half a pixel over.
        verify(Math.abs(mark.x + mark.width / 2 - 8) <= 0.5, "centre x " + (mark.x + mark.width / 2))
        verify(Math.abs(mark.y + mark.height / 2 - 8) <= 0.5, "centre y " + (mark.y + mark.height / 2))
        compare(check.contentItem.leftPadding, 24)
        compare(check.contentItem.font.family, "Segoe UI")
        compare(check.contentItem.font.pixelSize, 12)
        compare(check.contentItem.verticalAlignment, Text.AlignVCenter)
        compare(check.contentItem.elide, Text.ElideRight)
        compare(check.contentItem.textFormat, Text.PlainText)
    }

    // Click and Space toggle it; a partial state has no look of its own.
    function test_checkToggles() {
        const check = createTemporaryObject(checkComponent, testCase, { text: "Remember" })
        const toggled = createTemporaryObject(signalSpyComponent, testCase, { target: check, signalName: "toggled" })
        mouseClick(check)
        verify(check.checked)
        check.forceActiveFocus()
        keyClick(Qt.Key_Space)
        verify(!check.checked)
        compare(toggled.count, 2)
        check.tristate = true
        check.checkState = Qt.PartiallyChecked
        verify(!check.indicator.children[0].visible)
        sameColour(check.indicator.color, "#1c1f26", "partial box")
    }

    function test_comboShape() {
        const combo = createTemporaryObject(comboComponent, testCase)
        compare([combo.width, combo.height], [170, 28])
        compare(combo.contentItem.text, "One")
        compare([combo.contentItem.leftPadding, combo.contentItem.rightPadding], [10, 24])
        compare(combo.contentItem.font.family, "Segoe UI")
        compare(combo.contentItem.font.pixelSize, 12)
        compare(combo.contentItem.elide, Text.ElideRight)
        compare(combo.contentItem.textFormat, Text.PlainText)
        const arrow = combo.indicator
        compare(arrow.text, "\u25be")
        compare(arrow.font.pixelSize, 12)
        compare(arrow.x + arrow.width, 160)
        compare(arrow.y, (28 - arrow.height) / 2)
        compare(combo.background.radius, 3)
        compare(combo.background.border.width, 1)
    }

    function test_comboColours_data() {
        return [
            { tag: "resting", enabled: true, focus: false, hover: false, border: "#3a3d44", label: "#e8eaed" },
            { tag: "hovered", enabled: true, focus: false, hover: true, border: "#3a3d44", label: "#e8eaed" },
            { tag: "focused", enabled: true, focus: true, hover: false, border: "#ff5b22", label: "#e8eaed" },
            { tag: "disabled", enabled: false, focus: false, hover: false, border: "#3a3d44", label: "#5f646d" },
        ]
    }
    function test_comboColours(row) {
        const combo = createTemporaryObject(comboComponent, testCase, { enabled: row.enabled, hoverEnabled: true })
        if (row.focus)
            combo.forceActiveFocus()
        if (row.hover)
            mouseMove(combo, 20, 14)
        tryCompare(combo, "hovered", row.hover)
        compare(combo.activeFocus, row.focus)
        sameColour(combo.background.color, "#1f2228", "background")
        sameColour(combo.background.border.color, row.border, "border")
        sameColour(combo.contentItem.color, row.label, "label")
        sameColour(combo.indicator.color, "#9ca3af", "arrow")
    }

    // The border follows active focus both ways; keys still choose entries, pressing never tints it.
    function test_comboFocusAndKeys() {
        const combo = createTemporaryObject(comboComponent, testCase)
        const other = createTemporaryObject(buttonComponent, testCase, { text: "Other", y: 100 })
        combo.forceActiveFocus()
        sameColour(combo.background.border.color, "#ff5b22", "focused")
        keyClick(Qt.Key_Down)
        compare(combo.currentIndex, 1)
        compare(combo.contentItem.text, "Two")
        other.forceActiveFocus()
        sameColour(combo.background.border.color, "#3a3d44", "focus left")
        mousePress(combo, 20, 14)
        verify(combo.pressed)
        sameColour(combo.background.color, "#1f2228", "pressed")
        mouseRelease(combo, 20, 14)
    }

    // Size 200 × 40 (or 40 × 200) with the Basic padding of 6: the available length is 188.
    function test_sliderGeometry_data() {
        return [
            { tag: "horizontal minimum", vertical: false, value: 0,
              groove: [6, 18, 188, 4], fill: [0, 0, 0, 4], handle: [6, 14] },
            { tag: "horizontal quarter", vertical: false, value: 0.25,
              groove: [6, 18, 188, 4], fill: [0, 0, 47, 4], handle: [50, 14] },
            { tag: "horizontal maximum", vertical: false, value: 1,
              groove: [6, 18, 188, 4], fill: [0, 0, 188, 4], handle: [182, 14] },
            { tag: "vertical minimum", vertical: true, value: 0,
              groove: [18, 6, 4, 188], fill: [0, 188, 4, 0], handle: [14, 182] },
            { tag: "vertical quarter", vertical: true, value: 0.25,
              groove: [18, 6, 4, 188], fill: [0, 141, 4, 47], handle: [14, 138] },
            { tag: "vertical maximum", vertical: true, value: 1,
              groove: [18, 6, 4, 188], fill: [0, 0, 4, 188], handle: [14, 6] },
        ]
    }
    function test_sliderGeometry(row) {
        const slider = createTemporaryObject(sliderComponent, testCase, {
            orientation: row.vertical ? Qt.Vertical : Qt.Horizontal,
            width: row.vertical ? 40 : 200, height: row.vertical ? 200 : 40, value: row.value })
        const groove = slider.background
        const fill = groove.children[0]
        const handle = slider.handle
        compare([groove.x, groove.y, groove.width, groove.height], row.groove, "groove")
        compare([fill.x, fill.y, fill.width, fill.height], row.fill, "fill")
        compare([handle.x, handle.y, handle.width, handle.height], row.handle.concat([12, 12]), "handle")
        compare([groove.radius, fill.radius, handle.radius, handle.border.width], [2, 2, 6, 0])
    }

    function test_sliderColours_data() {
        return [
            { tag: "enabled", enabled: true, press: false, fill: "#ff7a45", handle: "#e8eaed" },
            { tag: "pressed", enabled: true, press: true, fill: "#ff7a45", handle: "#ff7a45" },
            { tag: "disabled", enabled: false, press: false, fill: "#5f646d", handle: "#5f646d" },
        ]
    }
    function test_sliderColours(row) {
        const slider = createTemporaryObject(sliderComponent, testCase, {
            width: 200, height: 40, value: 0.5, enabled: row.enabled })
        if (row.press)
            mousePress(slider.handle, 6, 6)
        compare(slider.pressed, row.press)
        sameColour(slider.background.color, "#2a2d33", "groove")
        sameColour(slider.background.children[0].color, row.fill, "fill")
        sameColour(slider.handle.color, row.handle, "handle")
        if (row.press)
            mouseRelease(slider.handle, 6, 6)
    }

    function test_sliderKeysAndDrag() {
        const slider = createTemporaryObject(sliderComponent, testCase, {
            width: 200, height: 40, from: 0, to: 10, stepSize: 1, value: 5, snapMode: Slider.SnapAlways })
        const moved = createTemporaryObject(signalSpyComponent, testCase, { target: slider, signalName: "moved" })
        slider.forceActiveFocus()
        keyClick(Qt.Key_Right)
        compare(slider.value, 6)
        mouseDrag(slider, 100, 20, -60, 0)
        verify(slider.value < 6)
        verify(Number.isInteger(slider.value))
        verify(moved.count >= 2)
    }

    function test_paneFillsItsWindow() {
        const window = createTemporaryObject(secondaryWindowComponent, null)
        const pane = window.pane
        tryCompare(pane, "height", 150)
        compare([pane.x, pane.y, pane.width, pane.height], [0, 0, 200, 150])
        compare([pane.leftPadding, pane.rightPadding, pane.topPadding, pane.bottomPadding], [12, 12, 12, 12])
        sameColour(pane.background.color, "#16181d", "background")
        compare(window.inside.parent, pane.contentItem)
    }

    // Inside the pane a stock control takes the dark roles; beside it, in the same window, the defaults.
    function test_panePalette_data() {
        return [
            { tag: "window", colour: "#16181d" }, { tag: "windowText", colour: "#e8eaed" },
            { tag: "base", colour: "#1c1f26" }, { tag: "text", colour: "#e8eaed" },
            { tag: "button", colour: "#2a2d33" }, { tag: "buttonText", colour: "#e8eaed" },
            { tag: "highlight", colour: "#ff5b22" }, { tag: "highlightedText", colour: "#ffffff" },
            { tag: "mid", colour: "#3a3d44" }, { tag: "dark", colour: "#0e1014" },
            { tag: "light", colour: "#3a3d44" }, { tag: "placeholderText", colour: "#5f646d" },
            { tag: "toolTipBase", colour: "#2a2d33" }, { tag: "toolTipText", colour: "#e8eaed" },
        ]
    }
    function test_panePalette(row) {
        const window = createTemporaryObject(secondaryWindowComponent, null)
        const stock = createTemporaryObject(stockButtonComponent, null)
        sameColour(window.inside.palette[row.tag], row.colour, "inside")
        sameColour(window.outside.palette[row.tag], stock.palette[row.tag], "outside")
    }
}
