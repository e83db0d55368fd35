import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The Video page of the effects window against the real player, with letterbox.mp4 (320 x 240, black bars of
// 40 pixels above and below) paused: the player draws the paused picture again after each change, so what
// the detection measures is what the page's crops, rotations and flips made of it.
TestCase {
    id: testCase
    name: "EffectsVideoPage"
    when: windowShown
    visible: true
    width: 200
    height: 100

    property var dialog: null
    property var page: null

    // The picture: the player hands out frames to a sink that draws them, and measures the one shown last.
    VideoSink {
        anchors.fill: parent
        bridge: Player
    }

    Component {
        id: dialogComponent
        EffectsDialog {
        }
    }

    function init() {
        dialog = dialogComponent.createObject(testCase)
        verify(dialog !== null)
        // Clear of the middle of the display, where the pointer rests.
        dialog.x = 660
        dialog.tab = 1
        const loader = findChild(dialog.contentItem, "videoPage")
        tryCompare(loader, "status", Loader.Ready)
        page = loader.item
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
        page = null
        wait(0)
    }

    // Opens path and pauses it: the player drops effect changes while an open holds the engine.
    function play(path) {
        verify(Player.open(path), path)
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused; state " + Player.state + ", error " + Player.lastError)
    }

    function openLetterbox() {
        play(TestKit.fixture("letterbox.mp4"))
        dialog.openDialog()
        tryCompare(dialog, "visible", true)
        TestKit.waitForFrame(dialog.contentItem)
    }

    function ctl(name) {
        const item = findChild(page, name)
        verify(item !== null, name)
        return item
    }

    // Scrolls the page to item (the page is taller than the window) and clicks it as the user does.
    function press(item) {
        const flick = page.contentItem
        const at = item.mapToItem(flick.contentItem, 0, 0)
        flick.contentY = Math.max(0, Math.min(at.y - 40, flick.contentHeight - flick.height))
        TestKit.waitForFrame(dialog.contentItem)
        mouseClick(item)
    }

    function click(name) {
        const item = ctl(name)
        verify(item.enabled, name + " enabled")
        press(item)
    }

    function crops() {
        const f = Player.videoFilters
        return [f.cropLeft, f.cropTop, f.cropRight, f.cropBottom]
    }

    // Waits until the paused picture, drawn again after the last change, shows these bars.
    function waitForBars(left, top, right, bottom) {
        const want = JSON.stringify([left, top, right, bottom])
        let got = ""
        for (const deadline = Date.now() + 10000; Date.now() < deadline; wait(50)) {
            const r = Player.detectLetterbox()
            got = JSON.stringify(r.found ? [r.left, r.top, r.right, r.bottom] : [0, 0, 0, 0])
            if (got === want)
                break
        }
        compare(got, want, "bars shown")
    }

    // Enters text into a crop box as the box takes a typed entry: read through its own conversion and sent as
    // a change made by the user. Real keys would need the window system's focus, which the other test
    // processes on the same display keep taking.
    function typeCrop(name, text) {
        const box = ctl(name + "Box")
        verify(box.validator.regularExpression.test(text), text)
        box.value = box.valueFromText(text, box.locale)
        box.valueModified()
    }

    function test_looks() {
        openLetterbox()
        const look = ctl("lookCombo")
        compare(look.displayText, "Default")
        look.activated(VideoFx.looks.findIndex(l => l.name === "Sepia"))
        compare(Player.videoFilters.saturation, 0)
        compare(Player.videoFilters.temperature, 3800)
        compare(look.displayText, "Sepia")
        compare(look.currentIndex, 4)

        // One degree of hue is a look of its own.
        const hue = ctl("hueSlider")
        hue.moved(hue.value + 1)
        compare(Player.videoFilters.hue, 1)
        compare(look.displayText, "Custom")
        compare(look.currentIndex, -1)

        dialog.setV("brightness", 0.3)
        dialog.setV("gamma", 2.2)
        click("resetColorButton")
        const f = Player.videoFilters
        compare([f.brightness, f.contrast, f.saturation, f.hue, f.gamma, f.temperature], [0, 1, 1, 0, 1, 6500])
        compare(look.displayText, "Default")

        // The readouts, through the page's sliders.
        for (const row of [{ key: "brightness", value: 0.25, text: "25 %" }, { key: "contrast", value: 1, text: "100 %" },
                           { key: "gamma", value: 1, text: "1.00" }, { key: "hue", value: -45, text: "-45\u00b0" },
                           { key: "temperature", value: 3800, text: "3800 K" }]) {
            dialog.setV(row.key, row.value)
            compare(findChild(ctl(row.key + "Slider"), "readout").text, row.text, row.key)
        }
    }

    function test_lookMatching_data() {
        const sepia = { brightness: 0, contrast: 1, saturation: 0, hue: 0, gamma: 1, temperature: 3800 }
        return [
            { tag: "sepia", v: sepia, name: "Sepia" },
            { tag: "within 0.001 and 1 K", v: Object.assign({}, sepia, { contrast: 1.0009, temperature: 3801 }),
              name: "Sepia" },
            { tag: "hue off by one", v: Object.assign({}, sepia, { hue: 1 }), name: "Custom" },
            { tag: "2 K off", v: Object.assign({}, sepia, { temperature: 3802 }), name: "Custom" },
            { tag: "a key missing", v: { brightness: 0, contrast: 1, saturation: 1, hue: 0, gamma: 1 }, name: "Custom" },
            { tag: "black & white", v: { brightness: 0, contrast: 1.05, saturation: 0, hue: 0, gamma: 1,
                                         temperature: 6500 }, name: "Black & White" },
        ]
    }

    function test_lookMatching(row) {
        compare(VideoFx.lookName(row.v), row.name)
    }

    function test_detailRows_data() {
        return [
            { tag: "both off", sharpen: 0, denoise: 0, tip: false },
            { tag: "light sharpen", sharpen: 1, denoise: 0, tip: false },
            { tag: "medium both", sharpen: 2, denoise: 2, tip: true },
            { tag: "heavy sharpen, medium denoise", sharpen: 3, denoise: 2, tip: true },
            { tag: "medium sharpen, light denoise", sharpen: 2, denoise: 1, tip: false },
            { tag: "light sharpen, heavy denoise", sharpen: 1, denoise: 3, tip: false },
        ]
    }

    function test_detailRows(row) {
        openLetterbox()
        press(findChild(ctl("sharpenLevel"), "level" + row.sharpen))
        press(findChild(ctl("denoiseLevel"), "level" + row.denoise))
        compare(Player.videoFilters.sharpen, row.sharpen)
        compare(Player.videoFilters.denoise, row.denoise)
        compare(ctl("sharpenMethod").visible, row.sharpen > 0)
        compare(ctl("denoiseMethod").visible, row.denoise > 0)
        compare(ctl("detailTip").visible, row.tip)
        compare(ctl("detailTip").color, Qt.color("#fbbf24"))
    }

    function test_methodsAndDeinterlacing() {
        openLetterbox()
        dialog.setV("sharpen", 2)
        const sharpenMethod = ctl("sharpenMethodCombo")
        compare(sharpenMethod.displayText, "Contrast-adaptive (CAS)")
        sharpenMethod.activated(1)
        compare(Player.videoFilters.sharpenMethod, "unsharp")
        compare(sharpenMethod.displayText, "Unsharp mask")

        dialog.v = Object.assign(dialog.clone(dialog.v), { deinterlace: "on", deinterlaceMethod: "yadif",
                                                           deinterlaceFieldRate: false })
        dialog.pushV()
        const method = ctl("deinterlaceMethodCombo")
        const fieldRate = ctl("fieldRateCheck")
        verify(method.enabled)
        verify(fieldRate.enabled)
        compare(method.displayText, "yadif")
        ctl("deinterlaceCombo").activated(0)
        compare(Player.videoFilters.deinterlace, "off")
        verify(!method.enabled)
        verify(!fieldRate.enabled)
        // Off keeps the choices made for when it is on again.
        compare(method.displayText, "yadif")
        verify(!fieldRate.checked)
        compare(Player.videoFilters.deinterlaceMethod, "yadif")
        compare(Player.videoFilters.deinterlaceFieldRate, false)
        ctl("deinterlaceCombo").activated(1)
        compare(Player.videoFilters.deinterlace, "auto")
        verify(method.enabled)
        press(fieldRate)
        compare(Player.videoFilters.deinterlaceFieldRate, true)
    }

    function test_rotationIsOneChoice() {
        openLetterbox()
        const checkedOnes = () => VideoFx.rotations.filter(d => ctl("rotate" + d).checked)
        compare(checkedOnes(), [0])
        for (const step of [{ click: 90, rotate: 90 }, { click: 90, rotate: 90 }, { click: 180, rotate: 180 },
                            { click: 0, rotate: 0 }, { set: 270, rotate: 270 }]) {
            if (step.click !== undefined)
                press(ctl("rotate" + step.click))
            else
                dialog.setV("rotate", step.set)
            compare(Player.videoFilters.rotate, step.rotate, JSON.stringify(step))
            compare(checkedOnes(), [step.rotate], JSON.stringify(step))
        }
    }

    function test_interpolationRate() {
        openLetterbox()
        const rate = ctl("rateCombo")
        compare(rate.displayText, "60")
        verify(!rate.enabled)
        dialog.setV("interpolateFps", 30)
        compare(rate.displayText, "48")
        compare(Player.videoFilters.interpolateFps, 30)
        press(ctl("interpolateCheck"))
        verify(Player.videoFilters.interpolate)
        verify(rate.enabled)
        rate.activated(3)
        compare(Player.videoFilters.interpolateFps, 120)
        compare(rate.displayText, "120")
    }

    // The whole round of the letterbox: detection, a second one on the cropped picture, a partial crop, a
    // rotation, and Clear Crop; each detection measures the picture the player drew after the last change.
    function test_detectBlackBars() {
        openLetterbox()
        const note = ctl("letterboxNote")
        compare(note.text, "")
        waitForBars(0, 40, 0, 40)

        click("detectButton")
        compare(crops(), [0, 40, 0, 40])
        compare(note.text, "Found: left 0, top 40, right 0, bottom 40 \u2014 applied.")
        compare(ctl("cropTopBox").value, 40)
        compare(ctl("cropBottomBox").value, 40)

        waitForBars(0, 0, 0, 0)
        click("detectButton")
        compare(note.text, "No black bars found in the current picture.")
        compare(crops(), [0, 40, 0, 40])

        click("clearCropButton")
        compare(crops(), [0, 0, 0, 0])
        compare(note.text, "")
        compare(ctl("cropTopBox").value, 0)

        // What is left of a partial crop is added to it, not put in its place.
        waitForBars(0, 40, 0, 40)
        typeCrop("cropTop", "20")
        compare(crops(), [0, 20, 0, 0])
        waitForBars(0, 20, 0, 40)
        click("detectButton")
        compare(crops(), [0, 40, 0, 40])
        compare(note.text, "Found: left 0, top 40, right 0, bottom 40 \u2014 applied.")

        // Turned a quarter, the bars are shown left and right but belong to the source's top and bottom.
        click("clearCropButton")
        press(ctl("rotate90"))
        waitForBars(40, 0, 40, 0)
        click("detectButton")
        compare(crops(), [0, 40, 0, 40])
        compare(Player.videoFilters.rotate, 90)
        waitForBars(0, 0, 0, 0)

        click("clearCropButton")
        compare(crops(), [0, 0, 0, 0])
        compare(note.text, "")
    }

    // The shown sides go back through the flips, then the rotation, and add to the crops in force.
    function test_detectedSidesMapBack_data() {
        const found = { found: true, left: 2, top: 4, right: 6, bottom: 8 }
        return [
            { tag: "as shown", v: {}, found: found, crops: [2, 4, 6, 8] },
            { tag: "90", v: { rotate: 90 }, found: found, crops: [4, 6, 8, 2] },
            { tag: "180", v: { rotate: 180 }, found: found, crops: [6, 8, 2, 4] },
            { tag: "270", v: { rotate: 270 }, found: found, crops: [8, 2, 4, 6] },
            { tag: "other angle is none", v: { rotate: 45 }, found: found, crops: [2, 4, 6, 8] },
            { tag: "mirrored", v: { hflip: true }, found: found, crops: [6, 4, 2, 8] },
            { tag: "flipped", v: { vflip: true }, found: found, crops: [2, 8, 6, 4] },
            { tag: "90 mirrored", v: { rotate: 90, hflip: true }, found: found, crops: [4, 2, 8, 6] },
            { tag: "270 flipped", v: { rotate: 270, vflip: true }, found: found, crops: [4, 2, 8, 6] },
            { tag: "added to crops", v: { cropLeft: 10, cropTop: 20, cropRight: 30, cropBottom: 40 }, found: found,
              crops: [12, 24, 36, 48] },
        ]
    }

    function test_detectedSidesMapBack(row) {
        const c = VideoFx.cropsAfterDetection(row.v, row.found)
        compare([c.cropLeft, c.cropTop, c.cropRight, c.cropBottom], row.crops)
    }

    function test_detectNeedsVideo() {
        verify(!ctl("detectButton").enabled)
        play(TestKit.fixture("tone6.mkv"))
        dialog.openDialog()
        verify(!Player.hasVideo)
        verify(!ctl("detectButton").enabled)
    }

    // Plain digits, clamped to the box's range; a larger crop from elsewhere is kept as it is.
    function test_cropBoxes() {
        openLetterbox()
        typeCrop("cropTop", "2001")
        compare(ctl("cropTopBox").value, 2000)
        compare(ctl("cropTopBox").displayText, "2000")
        compare(ctl("cropTopBox").contentItem.text, "2000")
        compare(Player.videoFilters.cropTop, 2000)
        // The box follows the working copy again after the user's change.
        dialog.setV("cropTop", 10)
        compare(ctl("cropTopBox").value, 10)
        typeCrop("cropLeft", "1234")
        compare(ctl("cropLeftBox").displayText, "1234")
        compare(Player.videoFilters.cropLeft, 1234)

        dialog.setV("cropRight", 3000)
        compare(ctl("cropRightBox").value, 2000)
        compare(Player.videoFilters.cropRight, 3000)
        // The box showing a value it cannot hold never writes it back by itself.
        compare(dialog.v.cropRight, 3000)
    }

    function test_diagnosticsColour_data() {
        return [
            { tag: "no budget, huge costs", diag: { frameBudgetMs: 0, filterMs: 90, transferMs: 90 }, amber: false },
            { tag: "no budget key", diag: { filterMs: 90 }, amber: false },
            { tag: "half the budget", diag: { frameBudgetMs: 40, filterMs: 15, transferMs: 5 }, amber: false },
            { tag: "above half", diag: { frameBudgetMs: 40, filterMs: 15, transferMs: 5.1 }, amber: true },
            { tag: "filters alone", diag: { frameBudgetMs: 10, filterMs: 6 }, amber: true },
            { tag: "empty", diag: {}, amber: false },
        ]
    }

    function test_diagnosticsColour(row) {
        compare(VideoFx.diagnosticsColor(row.diag), row.amber ? "#fbbf24" : "#5f646d")
        dialog.diag = row.diag
        compare(ctl("diagnostics").color, Qt.color(row.amber ? "#fbbf24" : "#5f646d"))
    }

    function test_diagnosticsText() {
        compare(VideoFx.diagnosticsText({}),
                "Active video filters: none\nPer frame: GPU download 0.0 ms \u00b7 filters 0.0 ms \u00b7 budget 0.0 ms")
        compare(VideoFx.diagnosticsText({ videoGraph: "drawtext=text=%2", transferMs: 1.25, filterMs: 0.04,
                                          frameBudgetMs: 100 / 3 }),
                "Active video filters: drawtext=text=%2\nPer frame: GPU download 1.3 ms \u00b7 filters 0.0 ms \u00b7 budget 33.3 ms")

        // The window's poll brings the player's graph, which names the crop the detection applied.
        openLetterbox()
        const line = ctl("diagnostics")
        verify(line.text.startsWith("Active video filters: none\n"), line.text)
        waitForBars(0, 40, 0, 40)
        click("detectButton")
        tryVerify(() => line.text.indexOf("crop=") > 0, 10000, line.text)
        verify(line.text.indexOf("budget 100.0 ms") > 0, line.text)
    }

    // At the window's minimum width the rows wrap: every control stays inside the page.
    function test_narrowWindow() {
        openLetterbox()
        dialog.width = 600
        tryCompare(page, "width", 600 - 24)
        TestKit.waitForFrame(dialog.contentItem)
        for (const name of ["lookCombo", "resetColorButton", "deinterlaceCombo", "deinterlaceMethodCombo",
                            "fieldRateCheck", "rotate0", "rotate270", "hflipCheck", "vflipCheck", "cropLeftBox",
                            "cropBottomBox", "detectButton", "clearCropButton", "interpolateCheck", "rateCombo"]) {
            const item = ctl(name)
            const box = item.mapToItem(page, 0, 0, item.width, item.height)
            verify(box.x >= 0 && box.x + box.width <= page.width, name + " at " + JSON.stringify(box))
        }
        verify(TestKit.screenshot(dialog, "effects-video-page-narrow") !== "")
    }

    function test_screenshot() {
        openLetterbox()
        waitForBars(0, 40, 0, 40)
        click("detectButton")
        dialog.setV("sharpen", 2)
        dialog.setV("denoise", 2)
        dialog.setV("deinterlace", "auto")
        tryVerify(() => ctl("diagnostics").text.indexOf("crop=") > 0, 10000)
        // The top of the page and its end, where the crop, interpolation and the diagnostics line are.
        const flick = page.contentItem
        for (const shot of [{ name: "effects-video-page", y: 0 },
                            { name: "effects-video-page-end", y: flick.contentHeight - flick.height }]) {
            flick.contentY = shot.y
            TestKit.waitForFrame(dialog.contentItem)
            verify(TestKit.screenshot(dialog, shot.name) !== "", shot.name)
        }
    }
}
