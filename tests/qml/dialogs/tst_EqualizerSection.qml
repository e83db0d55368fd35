import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer
import "qrc:/qt/qml/Kestrune/MediaPlayer/AudioFx.js" as AudioFx

// The equaliser of the effects window's Audio page against the real player with clip.mp4 paused: what the
// player holds and stores after the section's controls, and what the section shows of it.
TestCase {
    id: testCase
    name: "EqualizerSection"
    when: windowShown
    visible: true
    width: 200
    height: 100

    property var dialog: null

    Component {
        id: dialogComponent
        EffectsDialog {
        }
    }

    SignalSpy {
        id: osdSpy
        target: Player
        signalName: "osd"
    }

    function init() {
        dialog = dialogComponent.createObject(testCase)
        verify(dialog !== null)
        dialog.x = 660
        osdSpy.clear()
    }

    function cleanup() {
        // Names first: the list is read again after each removal.
        for (const name of Player.eqPresets.filter(p => !p.builtin).map(p => p.name))
            Player.deleteEqPreset(name)
        if (Player.hasMedia)
            Player.factoryResetEffects()
        Player.stop()
        Player.clearPlaylist()
        dialog.hide()
        dialog.destroy()
        dialog = null
        wait(0)
    }

    // Effects changes are dropped while an open holds the engine: editing starts once the file is paused.
    function playClip() {
        verify(Player.open(TestKit.fixture("clip.mp4")))
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused; state " + Player.state + ", error " + Player.lastError)
    }

    function openDialog() {
        compare(Player.eqPresets.length, 21, JSON.stringify(Player.eqPresets.slice(21)))
        playClip()
        dialog.openDialog()
        tryCompare(dialog, "visible", true)
        TestKit.waitForFrame(dialog.contentItem)
    }

    function ctl(name, parent) {
        const item = findChild(parent || dialog.contentItem, name)
        verify(item !== null, name)
        return item
    }

    function band(index) {
        return ctl("band" + index)
    }

    function bandSlider(index) {
        return ctl("bandSlider", band(index))
    }

    // Picks an entry of a combo box the way a user does: open the list, click the entry.
    function pick(box, index) {
        mouseClick(box)
        tryCompare(box.popup, "opened", true)
        const list = box.popup.contentItem
        list.positionViewAtIndex(index, ListView.Contain)
        // Clicked through the list, where the entry is: on a loaded machine the list may still replace its
        // delegates while it settles.
        let entry = null
        tryVerify(() => {
            entry = list.itemAtIndex(index)
            return entry !== null && entry.visible && list.Window.window !== null
        }, 5000, "entry " + index)
        const at = entry.mapToItem(list, entry.width / 2, entry.height / 2)
        mouseClick(list, at.x, at.y)
        tryCompare(box.popup, "visible", false)
    }

    function pickPreset(name) {
        const box = ctl("presetBox")
        const index = box.model.indexOf(name)
        verify(index >= 0, name)
        pick(box, index)
    }

    // One step (0.1 dB) on a band's slider, as its arrow keys do it: keyboard focus between windows is not
    // reliable enough under a bare X server for a test that only needs the step.
    function nudge(index, key) {
        const slider = bandSlider(index)
        if (key === Qt.Key_Up)
            slider.increase()
        else
            slider.decrease()
        slider.moved()
    }

    function savePreset(name, key) {
        mouseClick(ctl("savePresetButton"))
        const popup = ctl("equalizer").savePresetPopup
        tryCompare(popup, "opened", true)
        const field = ctl("presetName", popup.contentItem)
        compare(field.text, "")
        tryVerify(() => field.activeFocus, 5000, "the name field has the focus")
        // Typed only where the key is the point: focus moves between windows slowly on a loaded machine.
        field.text = name
        if (key !== undefined) {
            dialog.requestActivate()
            tryVerify(() => dialog.active, 10000, "the window is active")
            verify(TestKit.keyClick(field, key))
        } else
            mouseClick(ctl("saveButton", popup.contentItem))
        tryCompare(popup, "visible", false)
    }

    function storedPresets() {
        const text = TestKit.settingsValue("fx/eqPresets")
        return text === undefined || text === "" ? {} : JSON.parse(String(text))
    }

    function osdTexts() {
        const texts = []
        for (let i = 0; i < osdSpy.count; ++i)
            texts.push(osdSpy.signalArguments[i][0])
        return texts
    }

    function test_matchName_data() {
        const rock = [8.0, 4.8, -5.6, -8.0, -3.2, 4.0, 8.8, 11.2, 11.2, 11.2]
        const off = d => rock.map((v, i) => i === 6 ? v + d : v)
        const withUser = Player.eqPresets.concat([{ name: "my rock", bands: rock, preamp: 0, builtin: false }])
        return [
            { tag: "exact", presets: Player.eqPresets, a: { bands: rock, preamp: 0 }, name: "Rock" },
            { tag: "0.049 off", presets: Player.eqPresets, a: { bands: off(0.049), preamp: 0 }, name: "Rock" },
            { tag: "0.05 off", presets: Player.eqPresets, a: { bands: off(0.05), preamp: 0 }, name: "" },
            { tag: "preamp 0.05 off", presets: Player.eqPresets, a: { bands: rock, preamp: -0.05 }, name: "" },
            { tag: "user equal to built-in", presets: withUser, a: { bands: rock }, name: "Rock" },
            { tag: "no bands", presets: Player.eqPresets, a: { preamp: 0 }, name: "" },
        ]
    }

    function test_matchName(row) {
        compare(AudioFx.matchName(row.presets, row.a), row.name)
    }

    // "Flat" zeroes everything and switches the equaliser on; a nudge away shows "Modified", back the name.
    function test_presetAndModified() {
        openDialog()
        dialog.a = { eqEnabled: false, preamp: 4, bands: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10] }
        dialog.pushA()
        const box = ctl("presetBox")
        compare(box.displayText, "Modified")
        compare(box.currentIndex, -1)
        verify(!bandSlider(3).enabled)

        pickPreset("Flat")
        compare(Player.audioEffects.eqEnabled, true)
        compare(Player.audioEffects.preamp, 0)
        compare(Player.audioEffects.bands, [0, 0, 0, 0, 0, 0, 0, 0, 0, 0])
        compare(box.displayText, "Flat")
        compare(box.currentIndex, 0)
        verify(bandSlider(3).enabled)

        pickPreset("Rock")
        compare(box.displayText, "Rock")
        nudge(4, Qt.Key_Up)
        tryCompare(box, "displayText", "Modified")
        fuzzyCompare(Player.audioEffects.bands[3], -7.9, 1e-9)
        compare(box.currentIndex, -1)
        verify(!ctl("deletePresetButton").enabled)
        nudge(4, Qt.Key_Down)
        tryCompare(box, "displayText", "Rock")
        compare(box.currentIndex, box.model.indexOf("Rock"))
    }

    function test_builtinNamesAreRefused_data() {
        return [{ tag: "rock", name: "rock" }, { tag: "FLAT", name: "FLAT" }]
    }

    function test_builtinNamesAreRefused(row) {
        openDialog()
        savePreset(row.name)
        compare(Player.eqPresets.length, 21)
        compare(storedPresets(), {})
        verify(osdTexts().indexOf("\"" + row.name + "\" is a built-in preset; pick another name") >= 0,
               JSON.stringify(osdTexts()))
    }

    // New presets follow the 21 built-ins in name order, show in the box, and Delete removes them.
    function test_saveAndDelete() {
        openDialog()
        pickPreset("Pop")
        nudge(6, Qt.Key_Up)
        savePreset("Zed")
        nudge(6, Qt.Key_Up)
        // Return in the field saves.
        savePreset("Mine", Qt.Key_Return)
        const names = Player.eqPresets.map(p => p.name)
        compare(names.length, 23)
        compare(names.slice(21), ["Mine", "Zed"])
        const box = ctl("presetBox")
        tryCompare(box, "displayText", "Mine")
        compare(box.currentIndex, 21)
        compare(Object.keys(storedPresets()).sort(), ["Mine", "Zed"])
        fuzzyCompare(storedPresets()["Mine"].bands[5], 0.2, 1e-9)

        verify(ctl("deletePresetButton").enabled)
        mouseClick(ctl("deletePresetButton"))
        compare(Player.eqPresets.length, 22)
        compare(Object.keys(storedPresets()), ["Zed"])
        compare(box.displayText, "Modified")
        verify(!ctl("deletePresetButton").enabled)

        // The keypad's Enter saves too.
        savePreset("Keypad", Qt.Key_Enter)
        compare(Object.keys(storedPresets()).sort(), ["Keypad", "Zed"])
    }

    function test_emptyNameStoresNothing() {
        openDialog()
        savePreset("")
        savePreset("   ", Qt.Key_Return)
        compare(Player.eqPresets.length, 21)
        compare(storedPresets(), {})
    }

    // A user preset equal to a built-in one is shown under the built-in name, and cannot be deleted there.
    function test_userPresetEqualToBuiltin() {
        openDialog()
        pickPreset("Live")
        savePreset("My Live")
        compare(Player.eqPresets.length, 22)
        compare(ctl("presetBox").displayText, "Live")
        verify(!ctl("deletePresetButton").enabled)
    }

    function test_valueLabels_data() {
        return [
            { tag: "+3.5", value: 3.5, text: "+3.5" },
            { tag: "0", value: 0, text: "0.0" },
            { tag: "-20", value: -20, text: "-20.0" },
            { tag: "-2", value: -2, text: "-2.0" },
        ]
    }

    function test_valueLabels(row) {
        openDialog()
        dialog.setA("preamp", row.value)
        compare(ctl("valueLabel", band(0)).text, row.text)
        dialog.setA("bands", [0, 0, 0, 0, 0, row.value, 0, 0, 0, 0])
        compare(ctl("valueLabel", band(6)).text, row.text)
        compare(ctl("valueLabel", band(1)).text, "0.0")
    }

    // The topmost curve pixel of each column, read from what the canvas painted; colour tells the curve
    // from the background and the middle line.
    function curvePeak(isCurve) {
        const curve = ctl("curve")
        TestKit.waitForFrame(curve)
        const w = Math.floor(curve.width)
        const h = Math.floor(curve.height)
        const data = curve.getContext("2d").getImageData(0, 0, w, h).data
        let best = { x: -1, y: h }
        for (let x = 1; x < w - 1; x += 2) {
            for (let y = 0; y < best.y; ++y) {
                const i = (y * w + x) * 4
                if (isCurve(data[i], data[i + 1], data[i + 2])) {
                    best = { x: x, y: y }
                    break
                }
            }
        }
        return best
    }

    function test_curve() {
        openDialog()
        const orange = (r, g, b) => r > 180 && r - b > 100
        const grey = (r, g, b) => r > 75 && r < 120 && b > r && Math.abs(r - g) < 12
        dialog.setA("bands", [0, 0, 0, 0, 0, 12, 0, 0, 0, 0])
        dialog.setA("eqEnabled", true)
        const curve = ctl("curve")
        const x1k = curve.width * Math.log(1000 / 20) / Math.log(1000)
        let peak = curvePeak(orange)
        verify(Math.abs(peak.x - x1k) < curve.width * 0.03, JSON.stringify(peak) + " vs " + x1k)
        // +12 dB reaches a quarter of the height from the top.
        verify(Math.abs(peak.y - curve.height / 4) <= 3, JSON.stringify(peak))
        verify(bandSlider(6).enabled)

        dialog.setA("eqEnabled", false)
        verify(!bandSlider(6).enabled)
        compare(curvePeak(orange).x, -1)
        peak = curvePeak(grey)
        verify(Math.abs(peak.x - x1k) < curve.width * 0.03, JSON.stringify(peak) + " vs " + x1k)
        compare(ctl("valueLabel", band(6)).text, "+12.0")
    }
}
