import QtQuick
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's stage with the real player behind it: the audio view, the pointer, the status screens, the
// on-screen message and the performance overlay.
TestCase {
    id: testCase
    name: "MainStage"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    // When each "playback.toggle" went out, in milliseconds since the epoch.
    property var toggleTimes: []
    // The player's state as the window's bindings see it: the property itself may run ahead of its signal.
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening

    SignalSpy {
        id: triggered
        target: Actions
        signalName: "triggered"
    }

    Connections {
        target: Actions
        function onTriggered(id, arg) {
            if (id === "playback.toggle")
                testCase.toggleTimes.push(Date.now())
        }
    }

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
        triggered.clear()
        toggleTimes = []
    }

    // Every test starts from an idle player with the default choices.
    function cleanup() {
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening, 15000, "the player stops")
        Player.visualization = 0
        Hud.visible = false
        if (Math.abs(Player.speed - 1) > 0.001)
            Player.speed = 1
    }

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        // The stage spans the window, and stays in place when full screen would hide the sidebar and the
        // playlist.
        window.libraryVisible = false
        window.playlistVisible = false
        window.fillMode = VideoSink.Fit
        tryVerify(() => window.visible && window.active !== undefined)
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    function part(window, name) {
        const item = findChild(window.contentItem, name)
        verify(item !== null, name)
        return item
    }

    // Queues a fixture (or a file made by the test) as a drop would and waits until it plays.
    function play(name) {
        Actions.trigger("playlist.add", name.startsWith("/") ? name : TestKit.fixture(name))
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
    }

    // The bridge only tries the engine's lock, so a request may have to be made again.
    function pauseNow() {
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return boundState === MediaSessionBridge.Paused
        }, 10000, "paused")
    }

    function resumeNow() {
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Paused)
                Player.play()
            return boundState === MediaSessionBridge.Playing
        }, 10000, "playing")
    }

    // Makes the stage exactly h high, whatever the window puts above and below it.
    function setStageHeight(window, h) {
        const stage = part(window, "stage")
        window.minimumHeight = 0
        window.height = h + (window.height - stage.height)
        tryCompare(stage, "height", h)
    }

    function colorIs(color, text) {
        return Qt.colorEqual(color, text)
    }

    // Qt Quick's timers and fades run on the animation clock, which a loaded machine can drive ahead of the wall
    // clock (it counts a whole display frame per frame, however soon the next one comes). A timer of the test's
    // own, started beside the one under test, tells when that clock has counted the time: a wall-clock bound
    // alone would fail the window for the clock's haste.
    Component {
        id: referenceTimer
        Timer {
            property bool fired: false
            onTriggered: fired = true
        }
    }

    function startReference(ms) {
        const timer = createTemporaryObject(referenceTimer, testCase, { interval: ms })
        verify(timer !== null)
        timer.start()
        return timer
    }

    // ---- audio view

    function test_coverViewAndCaption() {
        const window = createMain()
        play("cover.mp3")
        pauseNow()
        const view = part(window, "audioView")
        verify(view.visible)
        compare(view.vizMode, 0)
        verify(part(window, "coverView").visible)
        verify(!part(window, "visualizer").visible)
        verify(!part(window, "vizCaption").visible)
        const cover = part(window, "coverImage")
        verify(cover.visible)
        verify(cover.asynchronous)
        tryCompare(cover, "status", Image.Ready, 5000)
        verify(cover.paintedWidth > 0)
        verify(!part(window, "coverPlaceholder").visible)
        compare(part(window, "tagTitle").text, "Tone")
        compare(part(window, "tagArtist").text, "Fixture")
        verify(part(window, "tagArtist").visible)
        verify(!part(window, "tagAlbum").visible)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-cover") !== "")

        // The same file under the spectrum analyser: the caption, with the artist alone and no separator.
        Player.visualization = 1
        verify(!part(window, "coverView").visible)
        verify(part(window, "visualizer").visible)
        verify(part(window, "vizCaption").visible)
        compare(part(window, "captionTitle").text, "Tone")
        compare(part(window, "captionLine").text, "Fixture")
    }

    // Without a cover, Automatic is the spectrum analyser; it samples only while the player plays.
    function test_visualiserRunsOnlyWhilePlaying() {
        const window = createMain()
        play("tone6.mkv")
        const view = part(window, "audioView")
        const viz = part(window, "visualizer")
        verify(view.visible)
        compare(view.vizMode, 1)
        verify(viz.visible)
        compare(viz.mode, 1)
        verify(viz.running)
        verify(part(window, "vizCaption").visible)
        compare(part(window, "captionTitle").text, "tone6")
        compare(part(window, "captionLine").text, "")
        // Some sound has gone out, so there is something to draw.
        tryVerify(() => Player.clockUs > 1000000, 5000)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-visualiser") !== "")

        pauseNow()
        verify(!viz.running)
        Player.visualization = 2
        compare(viz.mode, 2)
        verify(!viz.running)
        resumeNow()
        verify(viz.running)
        pauseNow()

        // Cover Art Only without a cover: the placeholder at half strength, and nothing samples.
        Player.visualization = 5
        compare(view.vizMode, 0)
        verify(!viz.visible)
        verify(!viz.running)
        verify(part(window, "coverView").visible)
        verify(!part(window, "coverImage").visible)
        const placeholder = part(window, "coverPlaceholder")
        verify(placeholder.visible)
        compare(placeholder.opacity, 0.5)
        tryCompare(placeholder, "status", Image.Ready)
    }

    function test_videoNeverShowsTheAudioView() {
        const window = createMain()
        play("clip.mp4")
        pauseNow()
        const view = part(window, "audioView")
        for (let choice = 0; choice <= 5; ++choice) {
            Player.visualization = choice
            verify(!view.visible, "visualisation " + choice)
            verify(!part(window, "visualizer").running, "visualisation " + choice)
        }
    }

    // The art frame is half the stage's height up to 260 px; the tags take 45 % of its width up to 420 px.
    function test_coverViewSizes() {
        const window = createMain()
        play("cover.mp3")
        pauseNow()
        window.minimumWidth = 0
        window.width = 800
        setStageHeight(window, 400)
        compare(part(window, "artFrame").width, 200)
        compare(part(window, "tagColumn").width, part(window, "stage").width * 0.45)
        window.width = 1400
        setStageHeight(window, 600)
        compare(part(window, "artFrame").width, 260)
        compare(part(window, "tagColumn").width, 420)
    }

    // ---- pointer

    function test_singleClickTogglesAfterTheDoubleClickInterval() {
        const window = createMain()
        const area = part(window, "stageMouse")
        const interval = Qt.styleHints.mouseDoubleClickInterval
        compare(area.clickInterval, interval)
        const reference = startReference(interval * 0.9)
        const released = Date.now()
        mouseClick(area, area.width / 2, area.height / 2)
        tryVerify(() => toggleTimes.length === 1, 5000)
        // Qt's coarse timers may fire up to 5 % early, and the clock read here counts whole milliseconds.
        verify(toggleTimes[0] - released >= interval * 0.9 || reference.fired, (toggleTimes[0] - released) + " ms")
        wait(interval + 200)
        compare(toggleTimes.length, 1)
    }

    // The second press 300 ms after the first: within the platform's interval, so no pause.
    function test_doubleClickTogglesFullScreenOnly() {
        const window = createMain()
        const area = part(window, "stageMouse")
        const x = area.width / 2
        const y = area.height / 2
        const interval = Qt.styleHints.mouseDoubleClickInterval
        verify(interval > 300)
        // A busy machine may oversleep past the interval, and then the two clicks were no double-click: again.
        let gap = interval
        for (let attempt = 0; attempt < 5 && gap >= interval - 50; ++attempt) {
            if (window.fs) {
                window.toggleFullscreen()
                tryCompare(window, "fs", false)
            }
            wait(interval + 100)
            toggleTimes = []
            mousePress(area, x, y)
            mouseRelease(area, x, y, Qt.LeftButton, Qt.NoModifier, 10)
            const released = Date.now()
            wait(290)
            gap = Date.now() - released
            mousePress(area, x, y)
            // Qt Quick Test hands its events straight to the window, past the platform's double-click
            // detection: the second press is followed by the double-click event the platform would send.
            verify(testCase.qtest_events.mouseDoubleClick(area, x, y, Qt.LeftButton, Qt.NoModifier, -1))
            mouseRelease(area, x, y)
            tryCompare(window, "fs", true)
            // Long enough for the first click's toggle to have gone out, had it not been dropped.
            wait(Math.max(0, released + interval + 300 - Date.now()))
        }
        verify(gap < interval - 50, "no double-click in time: " + gap + " ms between the clicks")
        compare(toggleTimes.length, 0)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
    }

    function test_otherButtonsToggleNothing() {
        const window = createMain()
        const area = part(window, "stageMouse")
        const x = area.width / 2
        const y = area.height / 2
        // The right button is taken (for the stage's menu), the middle one passes.
        mousePress(area, x, y, Qt.RightButton)
        verify(area.pressed)
        mouseRelease(area, x, y, Qt.RightButton)
        mousePress(area, x, y, Qt.MiddleButton)
        verify(!area.pressed)
        mouseRelease(area, x, y, Qt.MiddleButton)
        mouseDoubleClickSequence(area, x, y, Qt.RightButton)
        wait(Qt.styleHints.mouseDoubleClickInterval + 300)
        compare(toggleTimes.length, 0)
        verify(!window.fs)
    }

    function test_wheelStepsTheVolume_data() {
        return [
            { tag: "up", dx: 0, dy: 120, volume: 0.55, text: "Volume 55%" },
            { tag: "down", dx: 0, dy: -120, volume: 0.45, text: "Volume 45%" },
            { tag: "a large turn is one step", dx: 0, dy: 720, volume: 0.55, text: "Volume 55%" },
            { tag: "sideways only", dx: 120, dy: 0, volume: 0.45, text: "Volume 45%" },
        ]
    }

    function test_wheelStepsTheVolume(data) {
        const window = createMain()
        const area = part(window, "stageMouse")
        Player.volume = 0.5
        mouseWheel(area, area.width / 2, area.height / 2, data.dx, data.dy)
        fuzzyCompare(Player.volume, data.volume, 1e-4)
        compare(part(window, "osdText").text, data.text)
        tryVerify(() => part(window, "osd").visible)
    }

    // In full screen with the controls hidden the pointer is blank; only a real move brings both back.
    function test_cursorHidesWithTheControls() {
        const window = createMain()
        const area = part(window, "stageMouse")
        const x = area.width / 2
        const y = area.height / 2
        mouseMove(area, x, y)
        compare(area.cursorShape, Qt.ArrowCursor)
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        compare(area.cursorShape, Qt.ArrowCursor)
        // The display's real pointer may enter the grown window (other tests share the display): rest ours
        // where the checks below expect it.
        mouseMove(area, x, y)
        tryCompare(window, "controlsShown", false, 6000)
        compare(area.cursorShape, Qt.BlankCursor)
        // Qt Quick repeats the resting pointer when the picture changes: not a move.
        mouseMove(area, x, y)
        verify(!window.controlsShown)
        compare(area.cursorShape, Qt.BlankCursor)
        mouseMove(area, x + 5, y + 2)
        verify(window.controlsShown)
        compare(area.cursorShape, Qt.ArrowCursor)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
    }

    // ---- status screens

    function test_idleScreenAtStart() {
        const window = createMain()
        verify(part(window, "idleScreen").visible)
        verify(!part(window, "openingIndicator").visible)
        const mark = part(window, "appMark")
        tryCompare(mark, "status", Image.Ready)
        verify(mark.visible)
        compare(part(window, "appName").text, "KESTRUNE MEDIA PLAYER")
        const hint = part(window, "idleHint")
        compare(hint.text, "Drop files or a folder here, or press Ctrl+O")
        verify(colorIs(hint.color, "#5f646d"))
        verify(!part(window, "stateChip").visible)
        verify(!part(window, "pauseGlyph").visible)
        verify(!part(window, "audioView").visible)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-idle") !== "")
    }

    function test_markFollowsTheStageHeight_data() {
        return [
            { tag: "300", height: 300, mark: 72 },
            { tag: "500", height: 500, mark: 100 },
            { tag: "800", height: 800, mark: 128 },
        ]
    }

    function test_markFollowsTheStageHeight(data) {
        const window = createMain()
        setStageHeight(window, data.height)
        compare(part(window, "appMark").width, data.mark)
        compare(part(window, "appMark").height, data.mark)
    }

    function test_errorOnTheIdleScreen() {
        const window = createMain()
        Actions.trigger("playlist.add", TestKit.fixture("garbage.mp4"))
        tryCompare(testCase, "boundState", MediaSessionBridge.Error, 20000)
        const hint = part(window, "idleHint")
        verify(part(window, "idleScreen").visible)
        verify(Player.lastError !== "")
        compare(hint.text, Player.lastError)
        verify(colorIs(hint.color, "#ff7a45"))
        // A narrow stage cuts the error 40 px short of its width.
        window.minimumWidth = 0
        window.width = 200
        tryVerify(() => hint.width <= part(window, "stage").width - 40)
        window.width = 1280
        tryCompare(hint, "width", hint.implicitWidth)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-error") !== "")
    }

    // An open that hangs shows the whole URL while the window goes on drawing.
    function test_openingShowsTheUrl() {
        const window = createMain()
        TestKit.hang("/slow.mkv")
        const url = TestKit.url("/slow.mkv")
        Actions.trigger("playlist.add", url)
        tryCompare(testCase, "boundOpening", true, 10000)
        const indicator = part(window, "openingIndicator")
        verify(indicator.visible)
        verify(!part(window, "idleScreen").visible)
        verify(part(window, "busyIndicator").running)
        compare(part(window, "openingText").text, "Opening " + url + "…")

        const metrics = Qt.createQmlObject("import QtQuick; Connections { target: Hud; property int polls: 0; "
                                           + "function onMetricsChanged() { polls++ } }", testCase)
        tryVerify(() => metrics.polls >= 2, 5000)
        verify(Player.isOpening)
        verify(Hud.fps > 0, "frames while opening: " + Hud.fps)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-opening") !== "")
        metrics.destroy()
    }

    // The glyph shows over a paused picture, with the chip and, here, the overlay.
    function test_pauseGlyphOnlyOverVideo() {
        const window = createMain()
        play("clip.mp4")
        const chip = part(window, "stateChip")
        verify(chip.visible)
        compare(part(window, "stateLabel").text, "PLAYING")
        verify(colorIs(part(window, "stateDot").color, "#ff5b22"))
        verify(colorIs(chip.border.color, "#55ff5b22"))
        verify(!part(window, "pauseGlyph").visible)
        pauseNow()
        verify(part(window, "pauseGlyph").visible)
        compare(part(window, "stateLabel").text, "PAUSED")
        verify(colorIs(part(window, "stateDot").color, "#fbbf24"))
        verify(colorIs(chip.border.color, "#14ffffff"))
        Hud.toggle()
        verify(part(window, "hudPanel").visible)
        tryVerify(() => part(window, "hudFps").text !== "fps  0.0  ·  0.00 ms", 5000)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "stage-paused-video") !== "")

        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia, 10000)
        play("tone6.mkv")
        pauseNow()
        verify(!part(window, "pauseGlyph").visible)
        verify(chip.visible)
    }

    function test_chipLabel_data() {
        const words = ["STOPPED", "STOPPED", "READY", "PLAYING", "PAUSED", "ENDING", "STOPPED", "STOPPED"]
        const rows = []
        for (let state = 0; state < 8; ++state) {
            rows.push({ tag: state + " at 1", state: state, speed: 1, label: words[state] })
            rows.push({ tag: state + " at 1.0005", state: state, speed: 1.0005, label: words[state] })
            rows.push({ tag: state + " at 0.75", state: state, speed: 0.75, label: words[state] + "  ·  0.75×" })
            rows.push({ tag: state + " at 2", state: state, speed: 2, label: words[state] + "  ·  2×" })
        }
        return rows
    }

    function test_chipLabel(data) {
        const window = createMain()
        compare(part(window, "stateChip").labelFor(data.state, data.speed), data.label)
    }

    function test_chipShowsTheSpeed() {
        const window = createMain()
        Player.speed = 0.75
        play("clip.mp4")
        tryCompare(part(window, "stateLabel"), "text", "PLAYING  ·  0.75×")
        pauseNow()
        compare(part(window, "stateLabel").text, "PAUSED  ·  0.75×")
    }

    function test_chipFollowsTheControls() {
        const window = createMain()
        play("tone6.mkv")
        pauseNow()
        const chip = part(window, "stateChip")
        verify(chip.visible)
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        tryCompare(window, "controlsShown", false, 6000)
        verify(!chip.visible)
        window.pokeControls()
        verify(chip.visible)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
    }

    // ---- on-screen message

    function test_osdHiddenAtStart() {
        const window = createMain()
        const osd = part(window, "osd")
        compare(osd.opacity, 0)
        verify(!osd.visible)
        compare(osd.z, 20)
    }

    // A second message within the time keeps the box up and starts the 1.8 s afresh.
    function test_osdSecondShowRestartsTheTime() {
        const window = createMain()
        const osd = part(window, "osd")
        const text = part(window, "osdText")
        // The first message's time runs from its show, not from the end of its fade-in.
        const first = Date.now()
        osd.show("first")
        tryCompare(osd, "opacity", 1)
        // Qt Quick's timers and fades run on the animation clock, which a loaded machine can drive ahead of the
        // wall clock: a box that dimmed before the second show had its time run out, whatever Date.now() says.
        let dimmed = false
        const watch = () => { if (osd.opacity < 1) dimmed = true }
        osd.opacityChanged.connect(watch)
        wait(1000)
        osd.opacityChanged.disconnect(watch)
        // Still within the first message's time (unless the machine overslept): the box never dims.
        const held = Date.now() - first < 1700 && !dimmed
        osd.show("second")
        const shown = Date.now()
        const reference = startReference(1800 * 0.95)
        compare(text.text, "second")
        if (held)
            compare(osd.opacity, 1)
        // A box that had begun to dim fades back in first.
        tryCompare(osd, "opacity", 1)
        tryVerify(() => osd.opacity < 1, 5000)
        verify(Date.now() - shown >= 1800 * 0.95 || reference.fired, (Date.now() - shown) + " ms")
        tryCompare(osd, "visible", false)
    }

    function test_osdShowDuringFadeOutComesBack() {
        const window = createMain()
        const osd = part(window, "osd")
        osd.show("going")
        tryCompare(osd, "opacity", 1)
        tryVerify(() => osd.opacity < 1, 5000)
        osd.show("back")
        compare(part(window, "osdText").text, "back")
        const shown = Date.now()
        const reference = startReference(1700)
        tryCompare(osd, "opacity", 1)
        wait(1000)
        if (Date.now() - shown < 1700 && !reference.fired)
            compare(osd.opacity, 1)
        tryCompare(osd, "visible", false, 5000)
    }

    // Too long for the stage: cut in the middle, the box 20 px clear of each side.
    function test_osdLongMessage() {
        const window = createMain()
        const osd = part(window, "osd")
        const text = part(window, "osdText")
        const stage = part(window, "stage")
        window.minimumWidth = 0
        window.width = 500
        tryCompare(stage, "width", 500)
        osd.show("Begin " + "very long message ".repeat(20) + "End")
        compare(osd.width, stage.width - 40)
        compare(osd.x, 20)
        compare(text.elide, Text.ElideMiddle)
        compare(text.width, osd.width - 28)
        verify(text.truncated)
        compare(text.textFormat, Text.PlainText)
        // A short one keeps its own width.
        osd.show("Fit")
        verify(osd.width < stage.width - 40)
        compare(osd.width, text.implicitWidth + 28)
    }

    function test_playerMessagesReachTheOsd() {
        const window = createMain()
        const mode = Player.repeatMode
        Player.repeatMode = mode === 1 ? 0 : 1
        compare(part(window, "osdText").text, mode === 1 ? "Repeat off" : "Repeat one")
        tryVerify(() => part(window, "osd").visible)
        Player.repeatMode = mode
    }

    // ---- performance overlay

    function test_hudLines() {
        const window = createMain()
        const panel = part(window, "hudPanel")
        verify(!panel.visible)
        Hud.toggle()
        verify(panel.visible)
        const polls = Qt.createQmlObject("import QtQuick; Connections { target: Hud; property int count: 0; "
                                         + "function onMetricsChanged() { count++ } }", testCase)
        tryVerify(() => polls.count >= 2, 5000)
        verify(/^fps  \d+\.\d  ·  \d+\.\d\d ms$/.test(part(window, "hudFps").text), part(window, "hudFps").text)
        verify(/^cpu  \d+\.\d %$/.test(part(window, "hudCpu").text), part(window, "hudCpu").text)
        verify(/^rss  [1-9]\d* MB$/.test(part(window, "hudRss").text), part(window, "hudRss").text)
        compare(part(window, "hudDecode").text, "decode  -")
        polls.destroy()
        Hud.toggle()
        verify(!panel.visible)
    }

    // No VA-API device here: a video decodes in software.
    function test_hudDecodeLine() {
        const window = createMain()
        Hud.visible = true
        const line = part(window, "hudDecode")
        play("clip.mp4")
        pauseNow()
        compare(line.text, "decode  SW")
        verify(colorIs(line.color, "#9ca3af"))
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia, 10000)
        play("tone6.mkv")
        compare(line.text, "decode  -")
        verify(colorIs(line.color, "#9ca3af"))
    }

    // In full screen the transport bar floats over the stage's bottom; the overlay stands above it.
    function test_hudBottomMargin() {
        const window = createMain()
        Hud.visible = true
        const panel = part(window, "hudPanel")
        const stage = part(window, "stage")
        tryCompare(panel, "x", 14)
        tryVerify(() => stage.height - panel.y - panel.height === 14)
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        tryVerify(() => stage.height - panel.y - panel.height === 90)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        tryVerify(() => stage.height - panel.y - panel.height === 14)
    }

    // In full screen the transport bar floats over the picture: subtitles rise above it while it shows and go
    // back down when it hides. The picture itself stays where it is.
    function test_subtitlesClearTheTransportBar() {
        const window = createMain()
        // The picture fills the stage, so without the mend its bottom lies under the bar.
        window.fillMode = VideoSink.Crop
        play("multi.mkv")
        pauseNow()
        const sink = part(window, "videoSink")
        const bar = part(window, "transportBar")
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        const barTop = () => bar.mapToItem(null, 0, 0).y
        const subtitleBottom = () => {
            const r = sink.subtitleRect()
            return r.height > 0 ? sink.mapToItem(null, 0, r.y + r.height).y : -1
        }
        tryVerify(() => window.controlsShown && bar.visible && bar.opacity === 1, 5000, "the controls show")
        tryVerify(() => subtitleBottom() > 0 && subtitleBottom() <= barTop() + 0.5, 5000,
                  "subtitles end at " + subtitleBottom() + ", the bar begins at " + barTop())
        compare(sink.y, 0)
        compare(sink.height, part(window, "stage").height)
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "FullScreenSubtitlesAboveBar")

        tryCompare(window, "controlsShown", false, 6000)
        // The bar gone, subtitles use the whole picture again, down to the stage's bottom.
        const stageBottom = () => sink.mapToItem(null, 0, sink.height).y
        tryVerify(() => Math.abs(subtitleBottom() - stageBottom()) < 0.5, 5000,
                  "subtitles end at " + subtitleBottom() + ", the picture at " + stageBottom())
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        window.fillMode = VideoSink.Fit
    }

    function test_fmtMb_data() {
        return [
            { tag: "nothing", bytes: 0, text: "0 MB" },
            { tag: "one and a half rounds up", bytes: 1.5 * 1048576, text: "2 MB" },
            { tag: "just under a half", bytes: 1048576 * 2.49, text: "2 MB" },
            { tag: "700", bytes: 700 * 1048576, text: "700 MB" },
        ]
    }

    function test_fmtMb(data) {
        const window = createMain()
        compare(part(window, "hudPanel").fmtMb(data.bytes), data.text)
    }

    // ---- messages of the window's helpers

    function test_changeVolume_data() {
        return [
            { tag: "capped at 100", start: 0.98, delta: 0.05, volume: 1, text: "Volume 100%" },
            { tag: "floored at 0", start: 0.02, delta: -0.05, volume: 0, text: "Volume 0%" },
            { tag: "whole per cent", start: 0.333, delta: 0.05, volume: 0.38, text: "Volume 38%" },
        ]
    }

    function test_changeVolume(data) {
        const window = createMain()
        Player.volume = data.start
        window.changeVolume(data.delta)
        fuzzyCompare(Player.volume, data.volume, 1e-4)
        compare(part(window, "osdText").text, data.text)
    }

    function test_cycleAspect_data() {
        return [
            { tag: "automatic to 16:9", start: 0, ratio: 16 / 9, text: "Aspect ratio: 16:9" },
            { tag: "9:16 wraps", start: 9 / 16, ratio: 0, text: "Aspect ratio: Automatic" },
            { tag: "unknown ratio", start: 1.6, ratio: 0, text: "Aspect ratio: Automatic" },
        ]
    }

    function test_cycleAspect(data) {
        const window = createMain()
        window.aspectOverride = data.start
        window.cycleAspect()
        fuzzyCompare(window.aspectOverride, data.ratio, 1e-6)
        compare(part(window, "videoSink").aspectOverride, window.aspectOverride)
        compare(part(window, "osdText").text, data.text)
        window.aspectOverride = 0
    }

    function test_cycleFill() {
        const window = createMain()
        window.fillMode = VideoSink.Fit
        const text = part(window, "osdText")
        for (const [mode, name] of [[VideoSink.Crop, "Crop to fill"], [VideoSink.Stretch, "Stretch"],
                                    [VideoSink.Fit, "Fit"]]) {
            window.cycleFill()
            compare(window.fillMode, mode)
            compare(text.text, name)
        }
    }

    // ---- text from outside

    // Tags that look like markup are shown as typed: nothing is fetched, nothing is bold.
    function test_tagsArePlainText() {
        const window = createMain()
        const image = "<img src=\"" + TestKit.url("/x") + "\">"
        const bold = "<b>B</b>"
        // A real picture, so that the rich-text check below fetches it without an error arriving late.
        const picture = TestKit.scratchDir + "/x.png"
        compare(TestKit.run("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=red:s=2x2 -frames:v 1 '"
                            + picture + "'"), 0)
        verify(TestKit.serveFile("/x", picture))
        const file = TestKit.scratchDir + "/markup.mka"
        compare(TestKit.run("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=duration=4 -c:a flac "
                            + "-metadata title='" + image + "' -metadata artist='" + bold + "' '" + file + "'"), 0)
        play(file)
        pauseNow()
        compare(Player.mediaTitle, image)
        compare(part(window, "captionTitle").text, image)
        compare(part(window, "captionLine").text, bold)
        Player.visualization = 5
        compare(part(window, "tagTitle").text, image)
        compare(part(window, "tagArtist").text, bold)
        for (const name of ["captionTitle", "captionLine", "tagTitle", "tagArtist", "tagAlbum", "idleHint",
                            "openingText", "osdText"])
            compare(part(window, name).textFormat, Text.PlainText, name)
        TestKit.waitForFrame(window.contentItem)
        wait(500)
        compare(TestKit.requestCount("/x"), 0)

        // The same text as rich text would ask the server: the check above can see a request.
        const rich = Qt.createQmlObject("import QtQuick; Text { textFormat: Text.RichText }", window.contentItem)
        rich.text = image
        tryVerify(() => TestKit.requestCount("/x") > 0, 5000)
        rich.destroy()
    }
}
