import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer
import "qrc:/qt/qml/Kestrune/MediaPlayer/AudioFx.js" as AudioFx

// The Audio page below the equaliser against the real player with a file paused: loudness, audio sync, the
// effects chain, channels and the active-filters line. What counts is what the player holds afterwards.
TestCase {
    id: testCase
    name: "EffectsAudioPage"
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

    function init() {
        dialog = dialogComponent.createObject(testCase)
        verify(dialog !== null)
        dialog.x = 660
    }

    function cleanup() {
        // Names first: the list is read again after each removal.
        for (const name of Player.eqPresets.filter(p => !p.builtin).map(p => p.name))
            Player.deleteEqPreset(name)
        if (Player.hasMedia) {
            Player.factoryResetEffects()
            Player.audioDelayMs = 0
        }
        Player.stop()
        Player.clearPlaylist()
        dialog.hide()
        dialog.width = 820
        dialog.height = 640
        dialog.destroy()
        dialog = null
        wait(0)
    }

    // Effects changes are dropped while an open holds the engine: editing starts once the file is paused.
    function play(name) {
        verify(Player.open(TestKit.fixture(name)), name)
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused; state " + Player.state + ", error " + Player.lastError)
    }

    function openDialog(file) {
        play(file || "clip.mp4")
        dialog.openDialog()
        tryCompare(dialog, "visible", true)
        TestKit.waitForFrame(dialog.contentItem)
    }

    function page() {
        const loader = findChild(dialog.contentItem, "audioPage")
        verify(loader !== null && loader.item !== null)
        return loader.item
    }

    function ctl(name, parent) {
        const item = findChild(parent || dialog.contentItem, name)
        verify(item !== null, name)
        return item
    }

    // Scrolls the page so item shows, then clicks it. The page lays out on the next frame: positions are read
    // after it.
    function click(item) {
        const view = page()
        const flick = view.contentItem
        waitForItemPolished(ctl("sections"))
        const top = item.mapToItem(flick.contentItem, 0, 0).y
        if (top < flick.contentY || top + item.height > flick.contentY + flick.height) {
            flick.contentY = Math.max(0, Math.min(top - 40, flick.contentHeight - flick.height))
            TestKit.waitForFrame(dialog.contentItem)
        }
        const at = item.mapToItem(view, 0, 0)
        verify(at.y >= 0 && at.y + item.height <= view.height, item.objectName + " in view at " + at.y)
        mouseClick(item)
    }

    function pick(box, index) {
        click(box)
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

    // "Add Effect…" and the menu entry of kind, as a user adds a stage.
    function addEffect(name) {
        const menu = page().addEffectMenu
        click(ctl("addEffectButton"))
        tryCompare(menu, "opened", true)
        let entry = null
        for (let i = 0; i < menu.count; ++i) {
            if (menu.itemAt(i).text === name)
                entry = menu.itemAt(i)
        }
        verify(entry !== null, name)
        mouseClick(entry)
        tryCompare(menu, "visible", false)
    }

    function stage(index) {
        return ctl("stage" + index)
    }

    function kinds() {
        return (Player.audioEffects.chain || []).map(s => s.kind)
    }

    function test_loudnessModes_data() {
        return [
            { tag: "Off", index: 0, key: "off", target: false, preamp: false, peak: false },
            { tag: "EBU R128", index: 1, key: "ebur128", target: true, preamp: false, peak: true },
            { tag: "ReplayGain track", index: 2, key: "rgtrack", target: false, preamp: true, peak: true },
            { tag: "ReplayGain album", index: 3, key: "rgalbum", target: false, preamp: true, peak: true },
        ]
    }

    function test_loudnessModes(row) {
        openDialog()
        const box = ctl("normalizeBox")
        compare(box.model, ["Off", "EBU R128 (loudness)", "ReplayGain \u2013 track", "ReplayGain \u2013 album"])
        // Start elsewhere so that every row moves the box.
        dialog.setA("normalize", row.index === 0 ? "ebur128" : "off")
        pick(box, row.index)
        compare(Player.audioEffects.normalize, row.key)
        compare(box.currentIndex, row.index)
        compare(ctl("targetSlider").visible, row.target)
        compare(ctl("rgPreampSlider").visible, row.preamp)
        compare(ctl("peakSlider").visible, row.peak)
        compare(ctl("replayGainHint").visible, row.preamp)
        compare(ctl("readout", ctl("targetSlider")).text, "-16.0 LUFS")
        compare(ctl("readout", ctl("peakSlider")).text, "-1.0 dBTP")
    }

    // The bridge's unknown gains arrive as NaN.
    function test_replayGainHint_data() {
        return [
            { tag: "tags.ogg", file: "tags.ogg", text: "This file: track -3.50 dB, album \u2014" },
            { tag: "clip.mp4", file: "clip.mp4", text: "This file has no ReplayGain tags; it plays unchanged." },
        ]
    }

    function test_replayGainHint(row) {
        openDialog(row.file)
        dialog.setA("normalize", "rgalbum")
        tryCompare(ctl("replayGainHint"), "text", row.text)
        compare(AudioFx.replayGainHint(NaN, -6.2), "This file: track \u2014, album -6.20 dB")
    }

    function test_audioDelay() {
        openDialog()
        Player.audioDelayMs = 0
        verify(!ctl("delayResetButton").enabled)
        compare(ctl("delayReadout").text, "0 ms")
        Player.audioDelayMs = 2950
        click(ctl("delayPlus100"))
        compare(Player.audioDelayMs, 3000)
        compare(ctl("delayReadout").text, "3000 ms")
        compare(ctl("delaySlider").value, 3000)
        click(ctl("delayMinus10"))
        compare(Player.audioDelayMs, 2990)
        click(ctl("delayMinus100"))
        click(ctl("delayPlus10"))
        compare(Player.audioDelayMs, 2900)
        verify(ctl("delayResetButton").enabled)
        click(ctl("delayResetButton"))
        compare(Player.audioDelayMs, 0)
        verify(!ctl("delayResetButton").enabled)
    }

    function test_addLimiter() {
        openDialog()
        verify(!ctl("enableAllButton").enabled)
        verify(!ctl("disableAllButton").enabled)
        const menu = page().addEffectMenu
        const names = []
        for (let i = 0; i < menu.count; ++i)
            names.push(menu.itemAt(i).text)
        compare(names, ["Compressor", "Limiter", "Stereo widener", "Bass boost", "Treble boost", "Voice enhancement"])

        // Right below the button, where the window has room.
        dialog.height = 780
        const flick = page().contentItem
        tryVerify(() => flick.contentHeight > flick.height)
        flick.contentY = flick.contentHeight - flick.height
        click(ctl("addEffectButton"))
        tryCompare(menu, "opened", true)
        const button = ctl("addEffectButton")
        const origin = button.mapToItem(null, 0, button.height)
        const at = menu.parent.mapToItem(null, menu.x, menu.y)
        fuzzyCompare(at.x, origin.x, 1)
        fuzzyCompare(at.y, origin.y, 1)
        menu.close()
        tryCompare(menu, "visible", false)

        addEffect("Limiter")
        compare(Player.audioEffects.chain, [{ kind: "limiter", enabled: true, params: {} }])
        const panel = stage(0)
        compare(ctl("stageCheck", panel).text, "Limiter")
        verify(!ctl("compressorPresets", panel).visible)
        const readouts = ["param_limit", "param_attack", "param_release"].map(n => ctl("readout", ctl(n, panel)).text)
        compare(readouts, ["-1.0 dB", "5.0 ms", "50 ms"])
        for (const n of ["param_limit", "param_attack", "param_release"])
            verify(!ctl("resetButton", ctl(n, panel)).enabled, n)
        // The only stage: it moves neither way.
        verify(!ctl("moveUpButton", panel).enabled)
        verify(!ctl("moveDownButton", panel).enabled)
        verify(ctl("enableAllButton").enabled)
    }

    function test_stageOrder() {
        openDialog()
        addEffect("Compressor")
        addEffect("Limiter")
        addEffect("Bass boost")
        compare(kinds(), ["compressor", "limiter", "bass"])
        const expect = [{ up: false, down: true }, { up: true, down: true }, { up: true, down: false }]
        for (let i = 0; i < 3; ++i) {
            compare(ctl("moveUpButton", stage(i)).enabled, expect[i].up, "up " + i)
            compare(ctl("moveDownButton", stage(i)).enabled, expect[i].down, "down " + i)
        }
        click(ctl("moveUpButton", stage(2)))
        compare(kinds(), ["compressor", "bass", "limiter"])
        click(ctl("moveDownButton", stage(0)))
        compare(kinds(), ["bass", "compressor", "limiter"])
        compare(ctl("stageCheck", stage(0)).text, "Bass boost")
        click(ctl("removeButton", stage(1)))
        compare(kinds(), ["bass", "limiter"])
    }

    function test_compressorPreset() {
        openDialog()
        addEffect("Compressor")
        const box = ctl("compressorPresets", stage(0))
        compare(box.displayText, "Presets\u2026")
        for (let round = 0; round < 2; ++round) {
            pick(box, 3)
            compare(box.currentIndex, 0)
            compare(box.displayText, "Presets\u2026")
            compare(Player.audioEffects.chain[0].params,
                    { threshold: -28, ratio: 6, attack: 5, release: 150, makeup: 8 })
            // Moved off the preset, choosing it again applies it again.
            dialog.a.chain[0].params.ratio = 2
            dialog.pushA()
        }
        compare(ctl("readout", ctl("param_threshold", stage(0))).text, "-28.0 dB")
    }

    function test_disableStages() {
        openDialog()
        addEffect("Stereo widener")
        addEffect("Voice enhancement")
        click(ctl("stageCheck", stage(0)))
        compare(Player.audioEffects.chain.map(s => s.enabled), [false, true])
        verify(!ctl("param_amount", stage(0)).enabled)
        verify(ctl("param_amount", stage(1)).enabled)
        compare(stage(0).border.color, Qt.color("#26292f"))
        compare(stage(1).border.color, Qt.color("#3a3d44"))

        click(ctl("disableAllButton"))
        compare(Player.audioEffects.chain.map(s => s.enabled), [false, false])
        compare(kinds(), ["widener", "voice"])
        click(ctl("enableAllButton"))
        compare(Player.audioEffects.chain.map(s => s.enabled), [true, true])
        verify(ctl("param_amount", stage(0)).enabled)
    }

    function test_channelChecks_data() {
        return [
            { tag: "swap", name: "swapCheck", key: "swapChannels", after: true },
            { tag: "mono", name: "monoCheck", key: "mono", after: true },
            { tag: "pitch", name: "pitchCheck", key: "preservePitch", after: false },
        ]
    }

    function test_channelChecks(row) {
        openDialog()
        // A map without the key: the box shows the default.
        const a = dialog.clone(dialog.a)
        delete a[row.key]
        dialog.a = a
        dialog.pushA()
        compare(ctl(row.name).checked, !row.after)
        click(ctl(row.name))
        compare(Player.audioEffects[row.key], row.after)
        compare(ctl(row.name).checked, row.after)
        click(ctl(row.name))
        compare(Player.audioEffects[row.key], !row.after)
    }

    function test_activeFilters() {
        // Long enough to keep playing (and its graph built) while a loaded machine catches up.
        openDialog("thirty-seconds.mp4")
        const line = ctl("audioFiltersLine")
        dialog.setA("swapChannels", true)
        // The decoder builds its graph with the next frames it decodes.
        Player.play()
        tryVerify(() => {
            const graph = Player.effectsDiagnostics().audioGraph
            return graph && line.text === "Active audio filters: " + graph
        }, 10000, line.text)
        verify(line.text.indexOf("pan") >= 0, line.text)
        // Hidden, the window stops polling; an empty graph reads "none".
        dialog.hide()
        dialog.diag = {}
        compare(line.text, "Active audio filters: none")
        dialog.diag = { audioGraph: "" }
        compare(line.text, "Active audio filters: none")
    }

    function test_screenshot() {
        openDialog()
        dialog.height = 640
        const box = ctl("presetBox")
        pick(box, box.model.indexOf("Rock"))
        addEffect("Compressor")
        addEffect("Bass boost")
        page().contentItem.contentY = 0
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(dialog, "EffectsAudioPage") !== "")
        page().contentItem.contentY = page().contentItem.contentHeight - page().contentItem.height
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(dialog, "EffectsAudioPage-chain") !== "")
    }
}
