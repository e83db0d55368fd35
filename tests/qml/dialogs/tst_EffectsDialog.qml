import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The effects window against the real player with clip.mp4 paused: what counts is what the player holds
// (and stores) after the window's buttons, never the window's own copies alone.
TestCase {
    id: testCase
    name: "EffectsDialog"
    when: windowShown
    visible: true
    width: 700
    height: 300

    property var dialog: null

    Component {
        id: dialogComponent
        EffectsDialog {
        }
    }

    Component {
        id: sliderComponent
        EffectsDialog.FxSlider {
            width: 520
        }
    }

    Component {
        id: controlComponent
        EffectsDialog.FxSliderControl {
            width: 40
            height: 200
            orientation: Qt.Vertical
        }
    }

    Component {
        id: levelComponent
        EffectsDialog.Level4 {
            width: 520
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
        // Clear of the middle of the display, where its own pointer rests: a window mapped and unmapped under
        // it makes other tests' full-screen windows see the pointer leave and enter.
        dialog.x = 660
    }

    function cleanup() {
        if (Player.hasMedia)
            Player.factoryResetEffects()
        Player.stop()
        Player.clearPlaylist()
        dialog.hide()
        dialog.width = 820
        dialog.height = 640
        dialog.tab = 0
        dialog.destroy()
        dialog = null
        wait(0)
    }

    // Opens path and pauses it: the bridge drops effect changes while an open holds the engine, so editing
    // starts only once the file is paused. A pause asked during the open is dropped: it is asked again.
    function play(path) {
        verify(Player.open(path), path)
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused; state " + Player.state + ", error " + Player.lastError)
    }

    function playClip() {
        play(TestKit.fixture("clip.mp4"))
    }

    function ctl(name) {
        const item = findChild(dialog.contentItem, name)
        verify(item !== null, name)
        return item
    }

    function openDialog() {
        dialog.openDialog()
        tryCompare(dialog, "visible", true)
        TestKit.waitForFrame(dialog.contentItem)
    }

    function click(name) {
        mouseClick(ctl(name))
    }

    function showTab(index) {
        mouseClick(ctl("tabBar").itemAt(index))
        compare(dialog.tab, index)
    }

    function osdTexts() {
        const texts = []
        for (let i = 0; i < osdSpy.count; ++i)
            texts.push(osdSpy.signalArguments[i][0])
        return texts
    }

    function storedRecord(key) {
        const text = TestKit.settingsValue(key)
        return text === undefined ? undefined : JSON.parse(String(text))
    }

    // The per-file record of the file playing now: the only one under "fx/source" in these tests.
    function sourceKey() {
        const keys = TestKit.settingsKeys("fx/source")
        compare(keys.length, 1, JSON.stringify(keys))
        return "fx/source/" + keys[0]
    }

    function test_windowFrame() {
        compare(dialog.title, "Effects & Filters")
        compare(dialog.flags, Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint)
        compare(dialog.minimumWidth, 600)
        compare(dialog.minimumHeight, 500)
        verify(!dialog.visible)
        const bar = ctl("tabBar")
        compare(bar.count, 2)
        compare(bar.itemAt(0).text, "Audio")
        compare(bar.itemAt(1).text, "Video")
        for (const name of ["perFileCheck", "makeDefaultButton", "allOffButton", "resetTabButton", "compareButton",
                            "cancelButton", "applyButton", "applyCloseButton"])
            ctl(name)
        // The pages are loaded with the window in hand (they build on its shared controls).
        for (const name of ["audioPage", "videoPage"]) {
            compare(ctl(name).status, Loader.Ready)
            verify(ctl(name).item.dialog === dialog, name)
        }
        // Every slider snaps: 6.4 does not while dragging otherwise.
        const row = createTemporaryObject(sliderComponent, testCase)
        compare(findChild(row, "slider").snapMode, Slider.SnapAlways)
    }

    // Every footer button stays inside the window down to the minimum width (Linux's fonts run wider), and
    // the footer goes back to one row when the window grows again.
    function test_footerFits() {
        openDialog()
        for (const step of [{ width: 820, oneRow: true }, { width: 600, oneRow: false },
                            { width: 820, oneRow: true }]) {
            dialog.width = step.width
            tryCompare(ctl("footer"), "oneRow", step.oneRow)
            TestKit.waitForFrame(dialog.contentItem)
            for (const name of ["perFileCheck", "makeDefaultButton", "allOffButton", "resetTabButton",
                                "compareButton", "cancelButton", "applyButton", "applyCloseButton"]) {
                const item = ctl(name)
                const box = item.mapToItem(dialog.contentItem, 0, 0, item.width, item.height)
                const where = name + " at " + JSON.stringify(box) + ", width " + step.width
                verify(box.x >= 0 && box.x + box.width <= dialog.width, where)
                verify(box.y + box.height <= dialog.height, where)
                fuzzyCompare(item.width, item.implicitWidth, 1, where)
                // Right-hand buttons end at the right edge, one row or two.
                if (name === "applyCloseButton")
                    fuzzyCompare(box.x + box.width, dialog.width - 12, 1, where)
            }
        }
    }

    function test_closingRestoresTheOpeningState_data() {
        return [
            { tag: "Cancel", close: () => click("cancelButton") },
            { tag: "title bar", close: () => dialog.close() },
        ]
    }

    function test_closingRestoresTheOpeningState(row) {
        playClip()
        Player.audioEffects = { preamp: 2 }
        Player.audioDelayMs = 120
        const audio = JSON.stringify(Player.audioEffects)
        const video = JSON.stringify(Player.videoFilters)
        openDialog()
        dialog.setA("preamp", -6)
        dialog.setV("brightness", 0.3)
        dialog.setV("cropTop", 20)
        Player.audioDelayMs = 500
        compare(Player.audioEffects.preamp, -6)
        compare(Player.videoFilters.cropTop, 20)

        row.close()
        tryCompare(dialog, "visible", false)
        compare(JSON.stringify(Player.audioEffects), audio)
        compare(JSON.stringify(Player.videoFilters), video)
        compare(Player.audioDelayMs, 120)
        // Hidden, never destroyed: the main window keeps calling the same one.
        openDialog()
        compare(dialog.a.preamp, 2)
    }

    function test_applyMovesTheBaseline() {
        playClip()
        openDialog()
        dialog.setA("preamp", 4)
        dialog.setV("hue", 30)
        click("applyButton")
        verify(dialog.visible)
        dialog.setA("preamp", -3)
        dialog.setV("hue", -90)
        click("cancelButton")
        tryCompare(dialog, "visible", false)
        compare(Player.audioEffects.preamp, 4)
        compare(Player.videoFilters.hue, 30)

        openDialog()
        dialog.setV("saturation", 0.5)
        click("applyCloseButton")
        tryCompare(dialog, "visible", false)
        compare(Player.videoFilters.saturation, 0.5)
        compare(dialog.baseV.saturation, 0.5)
    }

    function test_applyEndsTheComparison_data() {
        return [
            { tag: "Apply, audio compared", tab: 0, button: "applyButton", visible: true },
            { tag: "Apply, video compared", tab: 1, button: "applyButton", visible: true },
            { tag: "Apply & Close, audio compared", tab: 0, button: "applyCloseButton", visible: false },
            { tag: "Apply & Close, video compared", tab: 1, button: "applyCloseButton", visible: false },
        ]
    }

    function test_applyEndsTheComparison(row) {
        playClip()
        openDialog()
        dialog.setA("preamp", 3)
        showTab(row.tab)
        click("compareButton")
        verify(ctl("compareButton").checked)
        compare(Player.audioEffects.bypass, row.tab === 0)
        compare(Player.videoFilters.bypass, row.tab === 1)
        click(row.button)
        compare(dialog.visible, row.visible)
        verify(!ctl("compareButton").checked)
        compare(Player.audioEffects.bypass, false)
        compare(Player.videoFilters.bypass, false)
        compare(Player.audioEffects.preamp, 3)
    }

    // Held down, Compare A/B bypasses the tab shown only, and only while the press lasts.
    function test_holdingCompareOnVideo() {
        playClip()
        openDialog()
        showTab(1)
        const button = ctl("compareButton")
        mousePress(button)
        compare(Player.videoFilters.bypass, true)
        compare(Player.audioEffects.bypass, false)
        // Let go beside the button: no click, so it never checks.
        mouseMove(button, -30, button.height / 2)
        mouseRelease(button, -30, button.height / 2)
        verify(!button.checked)
        compare(Player.videoFilters.bypass, false)
        compare(Player.audioEffects.bypass, false)
    }

    // Whatever ends a comparison ends it for the copy that was bypassed, whichever tab is shown by then.
    function test_comparisonEnds_data() {
        return [
            { tag: "unchecked on the other tab", end: () => { showTab(1); click("compareButton") } },
            { tag: "Cancel", end: () => click("cancelButton") },
            { tag: "All Off", end: () => { showTab(1); click("allOffButton") } },
            { tag: "opened again", end: () => { showTab(1); dialog.openDialog() } },
            { tag: "new file", end: () => play(TestKit.fixture("tone6.mkv")) },
        ]
    }

    function test_comparisonEnds(row) {
        playClip()
        openDialog()
        showTab(0)
        click("compareButton")
        compare(Player.audioEffects.bypass, true)
        row.end()
        tryCompare(ctl("compareButton"), "checked", false)
        compare(Player.audioEffects.bypass, false)
        compare(Player.videoFilters.bypass, false)
        compare(dialog.a.bypass === true, false)
        compare(dialog.baseA.bypass === true, false)
    }

    function test_resetTab_data() {
        return [
            { tag: "Audio", tab: 0, own: "audioEffects", other: "videoFilters",
              keys: ["bands", "chain", "eqEnabled", "mono", "normalize", "preamp", "preservePitch", "swapChannels"] },
            { tag: "Video", tab: 1, own: "videoFilters", other: "audioEffects",
              keys: ["brightness", "contrast", "cropBottom", "cropLeft", "cropRight", "cropTop", "deband",
                     "deinterlace", "denoise", "gamma", "hflip", "hue", "interpolate", "rotate", "saturation",
                     "sharpen", "temperature", "vflip"] },
        ]
    }

    function test_resetTab(row) {
        playClip()
        openDialog()
        dialog.a = { eqEnabled: true, preamp: 5, bands: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10], normalize: "ebur128",
                     loudnessTarget: -23, chain: [{ kind: "limiter", enabled: true, params: {} }], mono: true,
                     swapChannels: true, preservePitch: false }
        dialog.pushA()
        dialog.v = { deinterlace: "on", deinterlaceMethod: "yadif", denoise: 2, sharpen: 1, brightness: 0.2,
                     contrast: 1.5, hue: 40, gamma: 2, temperature: 4000, rotate: 90, hflip: true, cropTop: 10,
                     deband: 3, interpolate: true, interpolateFps: 90 }
        dialog.pushV()
        Player.audioDelayMs = 250
        const other = JSON.stringify(Player[row.other])
        showTab(row.tab)
        click("resetTabButton")

        compare(Object.keys(row.tab === 0 ? dialog.a : dialog.v).sort(), row.keys)
        const own = Player[row.own]
        if (row.tab === 0) {
            compare(own.eqEnabled, false)
            compare(own.bands, [0, 0, 0, 0, 0, 0, 0, 0, 0, 0])
            compare(own.chain.length, 0)
            compare([own.normalize, own.mono, own.swapChannels, own.preservePitch], ["off", false, false, true])
            // Left out of the reset: the player's default.
            compare(own.loudnessTarget, -16)
        } else {
            compare([own.deinterlace, own.denoise, own.contrast, own.temperature, own.rotate, own.cropTop],
                    ["off", 0, 1, 6500, 0, 0])
            compare([own.hflip, own.interpolate], [false, false])
            compare([own.deinterlaceMethod, own.interpolateFps], ["bwdif", 60])
        }
        compare(JSON.stringify(Player[row.other]), other)
        compare(Player.audioDelayMs, 250)
    }

    // The per-file switch is part of the baseline and comes back first, so the file's own record gets its
    // effects back and nobody else's default takes them.
    function test_cancelKeepsTheFilesOwnRecord_data() {
        return [
            { tag: "All Off", act: () => click("allOffButton"), defaultClean: true },
            { tag: "unticked", act: () => click("perFileCheck"), defaultClean: false },
        ]
    }

    function test_cancelKeepsTheFilesOwnRecord(row) {
        playClip()
        Player.effectsForThisFile = true
        Player.videoFilters = { cropTop: 40, cropBottom: 40 }
        const key = sourceKey()
        compare(storedRecord(key).video.cropTop, 40)
        openDialog()
        verify(ctl("perFileCheck").checked)

        row.act()
        compare(Player.effectsForThisFile, false)
        verify(!ctl("perFileCheck").checked)
        compare(TestKit.settingsValue(key), undefined)

        click("cancelButton")
        tryCompare(dialog, "visible", false)
        compare(Player.effectsForThisFile, true)
        compare(Player.videoFilters.cropTop, 40)
        const record = storedRecord(key)
        compare(record.video.cropTop, 40)
        compare(record.video.cropBottom, 40)
        if (row.defaultClean) {
            const fallback = storedRecord("fx/default")
            verify(fallback === undefined || fallback.video.cropTop === 0, JSON.stringify(fallback))
        }
        openDialog()
        verify(ctl("perFileCheck").checked)
    }

    function test_cancelAnnouncesOnlyAChangedDelay_data() {
        return [
            { tag: "unchanged", delay: null, messages: [] },
            { tag: "changed", delay: 300, messages: ["Audio delay 0 ms"] },
        ]
    }

    function test_cancelAnnouncesOnlyAChangedDelay(row) {
        playClip()
        openDialog()
        dialog.setA("preamp", 6)
        if (row.delay !== null)
            Player.audioDelayMs = row.delay
        osdSpy.clear()
        click("cancelButton")
        compare(osdTexts().filter(t => t.startsWith("Audio delay")), row.messages)
        compare(Player.audioDelayMs, 0)
    }

    function test_newFileReplacesTheBaselineWhileShown() {
        const tone = TestKit.fixture("tone6.mkv")
        play(tone)
        Player.effectsForThisFile = true
        Player.audioEffects = { preamp: 5 }
        Player.audioDelayMs = 40
        playClip()
        compare(Player.audioEffects.preamp, 0)

        openDialog()
        compare(dialog.baseA.preamp, 0)
        play(tone)
        tryVerify(() => dialog.baseA.preamp === 5, 20000)
        compare(dialog.a.preamp, 5)
        compare(dialog.baseDelay, 40)
        dialog.setA("preamp", -8)
        Player.audioDelayMs = 0
        click("cancelButton")
        compare(Player.audioEffects.preamp, 5)
        compare(Player.audioDelayMs, 40)
        compare(Player.effectsForThisFile, true)

        // Hidden, the window ignores new files.
        const copies = JSON.stringify([dialog.a, dialog.baseA, dialog.baseDelay])
        playClip()
        compare(Player.audioEffects.preamp, 0)
        wait(50)
        compare(JSON.stringify([dialog.a, dialog.baseA, dialog.baseDelay]), copies)
        // The tone's own record goes in the clean-up.
        play(tone)
    }

    function test_diagnosticsOnlyWhileShown() {
        const timer = findChild(dialog.contentItem, "diagTimer")
        verify(timer !== null)
        verify(!timer.running)
        playClip()
        openDialog()
        verify(timer.running)
        tryVerify(() => dialog.diag.audioGraph !== undefined, 5000)
        click("cancelButton")
        tryVerify(() => !timer.running, 5000)
    }

    function test_perFileCheck() {
        verify(!ctl("perFileCheck").enabled)
        verify(TestKit.serveFile("/start-offset.ts", TestKit.fixture("start-offset.ts")))
        play(TestKit.url("/start-offset.ts"))
        openDialog()
        const check = ctl("perFileCheck")
        verify(check.enabled)
        osdSpy.clear()
        mouseClick(check)
        compare(osdTexts(), ["Per-file settings need a local file"])
        compare(Player.effectsForThisFile, false)
        verify(!check.checked)
        // The box still follows the player afterwards.
        playClip()
        Player.effectsForThisFile = true
        verify(check.checked)
    }

    function test_sizeAndTabAreKept() {
        dialog.width = 700
        dialog.height = 560
        dialog.tab = 1
        dialog.destroy()
        wait(0)
        dialog = dialogComponent.createObject(testCase)
        compare(dialog.width, 700)
        compare(dialog.height, 560)
        compare(dialog.tab, 1)
        compare(ctl("tabBar").currentIndex, 1)
        compare(ctl("pages").currentIndex, 1)
    }

    function test_fxSliderReadout_data() {
        return [
            { tag: "one decimal, dB", value: -3.5, decimals: 1, suffix: " dB", scale: 1, text: "-3.5 dB" },
            { tag: "per cent", value: 0.25, decimals: 0, suffix: " %", scale: 100, text: "25 %" },
            { tag: "two decimals, bare", value: 1, decimals: 2, suffix: "", scale: 1, text: "1.00" },
            { tag: "kelvin", value: 6500, decimals: 0, suffix: " K", scale: 1, text: "6500 K" },
        ]
    }

    function test_fxSliderReadout(row) {
        const slider = createTemporaryObject(sliderComponent, testCase,
                                             { label: "Gain", from: -10000, to: 10000, value: row.value,
                                               decimals: row.decimals, suffix: row.suffix,
                                               displayScale: row.scale })
        compare(findChild(slider, "readout").text, row.text)
        compare(findChild(slider, "slider").Accessible.name, "Gain")
    }

    function test_fxSliderReset_data() {
        return [
            { tag: "at the default", offset: 0, enabled: false },
            { tag: "within 1e-6", offset: 5e-7, enabled: false },
            { tag: "beyond 1e-6", offset: 2e-6, enabled: true },
            { tag: "below", offset: -0.1, enabled: true },
        ]
    }

    function test_fxSliderReset(row) {
        const slider = createTemporaryObject(sliderComponent, testCase,
                                             { from: 0, to: 2, defaultValue: 1, value: 1 + row.offset })
        const spy = createTemporaryObject(signalSpyComponent, testCase, { target: slider, signalName: "moved" })
        const reset = findChild(slider, "resetButton")
        compare(reset.enabled, row.enabled)
        TestKit.waitForFrame(slider)
        mouseClick(reset)
        compare(spy.count, row.enabled ? 1 : 0)
        if (row.enabled)
            compare(spy.signalArguments[0][0], 1)
    }

    Component {
        id: signalSpyComponent
        SignalSpy {
        }
    }

    // A user's move is reported, never kept: the value comes back only through the page's binding.
    function test_fxSliderNeverWritesItsValue() {
        const slider = createTemporaryObject(sliderComponent, testCase, { from: -20, to: 20, stepSize: 0.1 })
        const spy = createTemporaryObject(signalSpyComponent, testCase, { target: slider, signalName: "moved" })
        const control = findChild(slider, "slider")
        TestKit.waitForFrame(slider)
        mouseClick(control, control.leftPadding + control.availableWidth * 0.75, control.height / 2)
        compare(spy.count, 1)
        const moved = spy.signalArguments[0][0]
        verify(moved > 8 && moved < 12, moved)
        // Snapped to the step.
        fuzzyCompare(moved * 10, Math.round(moved * 10), 1e-9)
        compare(slider.value, 0)
    }

    function test_fxSliderFill_data() {
        return [
            { tag: "symmetric, at the start", from: -20, to: 20, value: -20, x: 0, width: 0.5 },
            { tag: "symmetric, at zero", from: -20, to: 20, value: 0, x: 0.5, width: 0 },
            { tag: "symmetric, three quarters", from: -20, to: 20, value: 10, x: 0.5, width: 0.25 },
            { tag: "from zero, at the start", from: 0, to: 2, value: 0, x: 0, width: 0 },
            { tag: "from zero, half", from: 0, to: 2, value: 1, x: 0, width: 0.5 },
            { tag: "from zero, at the end", from: 0, to: 2, value: 2, x: 0, width: 1 },
            // Upright (the equaliser's bands): from the centre line, or up from the bottom.
            { tag: "upright symmetric, bottom", vertical: true, from: -20, to: 20, value: -20, y: 0.5, height: 0.5 },
            { tag: "upright symmetric, zero", vertical: true, from: -20, to: 20, value: 0, y: 0.5, height: 0 },
            { tag: "upright symmetric, +10", vertical: true, from: -20, to: 20, value: 10, y: 0.25, height: 0.25 },
            { tag: "upright from zero, half", vertical: true, from: 0, to: 2, value: 1, y: 0.5, height: 0.5 },
        ]
    }

    function test_fxSliderFill(row) {
        const props = { from: row.from, to: row.to, stepSize: 0.1, value: row.value }
        const slider = createTemporaryObject(row.vertical ? controlComponent : sliderComponent, testCase, props)
        const fill = findChild(slider, "fill")
        const track = fill.parent
        if (row.vertical) {
            verify(track.height > 100, track.height)
            fuzzyCompare(fill.y, track.height * row.y, 0.01)
            fuzzyCompare(fill.height, track.height * row.height, 0.01)
            compare(fill.width, track.width)
        } else {
            verify(track.width > 100, track.width)
            fuzzyCompare(fill.x, track.width * row.x, 0.01)
            fuzzyCompare(fill.width, track.width * row.width, 0.01)
        }
    }

    function test_level4() {
        const level = createTemporaryObject(levelComponent, testCase, { label: "Denoise", value: 2 })
        const spy = createTemporaryObject(signalSpyComponent, testCase, { target: level, signalName: "picked" })
        const buttons = []
        for (let i = 0; i < level.children.length; ++i) {
            if (level.children[i].objectName.startsWith("level"))
                buttons.push(level.children[i])
        }
        compare(buttons.map(b => b.text), ["Off", "Light", "Medium", "Heavy"])
        compare(buttons.map(b => b.checked), [false, false, true, false])
        TestKit.waitForFrame(level)
        // A click only asks: the value decides what shows checked, also for the button already checked.
        mouseClick(buttons[3])
        mouseClick(buttons[2])
        compare(spy.count, 2)
        compare([spy.signalArguments[0][0], spy.signalArguments[1][0]], [3, 2])
        compare(buttons.map(b => b.checked), [false, false, true, false])
        level.value = 0
        compare(buttons.map(b => b.checked), [true, false, false, false])
    }

    function test_zScreenshot() {
        playClip()
        openDialog()
        showTab(0)
        const column = findChild(ctl("audioPage"), "sections")
        verify(column !== null)
        sliderComponent.createObject(column, { label: "Preamp", from: -20, to: 20, stepSize: 0.1, value: 4.5,
                                               decimals: 1, suffix: " dB", width: column.width })
        sliderComponent.createObject(column, { label: "Contrast", from: 0, to: 2, value: 1.3, defaultValue: 1,
                                               decimals: 0, suffix: " %", displayScale: 100,
                                               width: column.width })
        levelComponent.createObject(column, { label: "Denoise", value: 1, width: column.width })
        click("compareButton")
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(dialog, "EffectsDialog") !== "")
        click("compareButton")
    }
}
