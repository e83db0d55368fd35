import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The drop-down lists of the dark windows, opened with the pointer and walked with the keys, read as they
// are drawn: the highlighted entry must stand out from its bar, every other entry from the list, and names
// from data show as written.
TestCase {
    id: testCase
    name: "DarkComboPopups"
    when: windowShown

    Component {
        id: effectsComponent
        EffectsDialog {}
    }
    Component {
        id: convertComponent
        ConvertDialog {}
    }
    Component {
        id: queueComponent
        QueueWindow {}
    }
    Component {
        id: castComponent
        CastWindow {}
    }

    property var win: null

    function initTestCase() {
        verify(Player.open(TestKit.fixture("clip.mp4")))
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused")
    }

    function cleanupTestCase() {
        Player.stop()
        Player.clearPlaylist()
    }

    function cleanup() {
        if (win) {
            win.hide()
            win.destroy()
            win = null
        }
        wait(0)
    }

    // Relative luminance and contrast ratio as the accessibility guidelines define them.
    function luminance(c) {
        const channel = v => v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4)
        return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b)
    }

    function contrast(a, b) {
        const la = luminance(a)
        const lb = luminance(b)
        return (Math.max(la, lb) + 0.05) / (Math.min(la, lb) + 0.05)
    }

    function openWindow(kind) {
        if (kind === "effects") {
            win = effectsComponent.createObject(testCase)
            win.openDialog()
            tryCompare(win, "visible", true)
            mouseClick(findChild(win.contentItem, "tabBar").itemAt(1))
        } else if (kind === "convert") {
            win = convertComponent.createObject(testCase)
            win.openWith([TestKit.fixture("clip.mp4")])
            // The lists come from the encoder probe, which answers on a worker.
            tryVerify(() => Converter.capabilities.containers !== undefined, 120000, "the encoder lists arrive")
        } else if (kind === "queue") {
            win = queueComponent.createObject(testCase)
            win.openWindow()
        } else {
            win = castComponent.createObject(testCase)
            win.openWindow()
        }
        tryCompare(win, "visible", true)
        TestKit.waitForFrame(win.contentItem)
    }

    function test_highlightedEntryReads_data() {
        return [
            { tag: "effects", window: "effects", combo: "lookCombo", entry: "Black & White" },
            { tag: "convert", window: "convert", combo: "containerCombo" },
            { tag: "queue", window: "queue", combo: "concurrencyCombo" },
            { tag: "cast", window: "cast", combo: "subtitleBox" }
        ]
    }

    function test_highlightedEntryReads(data) {
        openWindow(data.window)
        const combo = findChild(win.contentItem, data.combo)
        verify(combo !== null, data.combo)
        tryVerify(() => combo.visible && combo.enabled && combo.width > 0, 5000, "the combo shows")
        mouseClick(combo)
        tryCompare(combo.popup, "opened", true, 5000)
        const start = combo.highlightedIndex
        verify(TestKit.keyClick(combo, Qt.Key_Down))
        tryVerify(() => combo.highlightedIndex !== start && combo.highlightedIndex >= 0, 5000, "highlight moved")
        TestKit.waitForFrame(win.contentItem)
        TestKit.screenshot(win, "DarkComboPopup-" + data.tag)

        const list = combo.popup.contentItem
        const listBack = combo.popup.background.color
        for (let i = 0; i < combo.count; ++i) {
            const entry = list.itemAtIndex(i)
            if (!entry)
                continue
            const text = findChild(entry, "entryText")
            verify(text !== null, "entry " + i + " draws its own text")
            compare(text.textFormat, Text.PlainText)
            const back = findChild(entry, "entryBackground")
            const behind = back.visible ? back.color : listBack
            const ratio = contrast(text.color, behind)
            verify(ratio >= 4.5, "entry " + i + (i === combo.highlightedIndex ? " (highlighted)" : "") + ": "
                   + text.color + " on " + behind + " is " + ratio.toFixed(2) + ":1")
            if (i === combo.highlightedIndex)
                verify(back.visible, "the highlight bar shows")
        }
        if (data.entry !== undefined) {
            const index = combo.find(data.entry)
            verify(index >= 0, data.entry)
            compare(findChild(list.itemAtIndex(index), "entryText").text, data.entry)
        }
        verify(TestKit.keyClick(combo, Qt.Key_Escape))
        tryCompare(combo.popup, "visible", false, 5000)
    }
}
