import QtQuick
import QtQuick.Window
import QtTest

// The main window without a player: its helpers, its layout at each width and the fallbacks of every binding
// that reads the player.
TestCase {
    name: "Main"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, null)
        verify(window !== null)
        tryVerify(() => window.visible)
        return window
    }

    function part(window, name) {
        const item = findChild(window.contentItem, name)
        verify(item !== null, name)
        return item
    }

    // Makes the transport bar exactly barWidth wide; with the library sidebar off, the bar spans the window.
    function resizeBar(window, barWidth) {
        window.libraryVisible = false
        window.playlistVisible = false
        window.minimumWidth = 0
        window.width = barWidth
        tryCompare(part(window, "transportBar"), "width", barWidth)
    }

    // The program loads the main window by this URL; a wrong resource prefix would leave it without one.
    function test_loadsFromTheLinkedModule() {
        const window = createMain()
        verify(window instanceof Window)
        compare(window.title, "Kestrune Media Player")
        window.libraryVisible = false
        window.playlistVisible = false
        // The picture fills the stage above the 64-pixel transport bar and the 22-pixel status bar; with no
        // player it has nothing to show.
        const sink = part(window, "videoSink")
        tryCompare(sink, "width", window.width)
        // The menu bar stands above the content.
        tryCompare(sink, "height", window.height - window.menuBar.height - 64 - 22)
        compare(sink.bridge, null)
        compare(sink.fillMode, window.fillMode)
    }

    function test_fmtTime_data() {
        return [
            { tag: "zero", us: 0, text: "0:00:00" },
            { tag: "negative", us: -5000000, text: "0:00:00" },
            { tag: "seconds are cut", us: 59999999, text: "0:00:59" },
            { tag: "five seconds", us: 5000000, text: "0:00:05" },
            { tag: "one hour", us: 3600000000, text: "1:00:00" },
            { tag: "mixed", us: 3723000000, text: "1:02:03" },
            { tag: "ten hours", us: 36000000000, text: "10:00:00" },
            { tag: "hundred hours", us: 360000000000, text: "100:00:00" },
        ]
    }

    function test_fmtTime(data) {
        const window = createMain()
        compare(window.fmtTime(data.us), data.text)
    }

    function test_basename_data() {
        return [
            { tag: "empty", path: "", name: "" },
            { tag: "backslashes", path: "C:\\Videos\\clip.mkv", name: "clip.mkv" },
            { tag: "slash after backslash", path: "a\\b/c.mp4", name: "c.mp4" },
            { tag: "backslash after slash", path: "a/b\\c.mp4", name: "c.mp4" },
            { tag: "stream URL", path: "http://host/live/stream.m3u8", name: "http://host/live/stream.m3u8" },
            { tag: "file URL", path: "file:///home/me/a.mkv", name: "file:///home/me/a.mkv" },
            { tag: "no separator", path: "song.flac", name: "song.flac" },
            { tag: "one-letter scheme is a path", path: "c://x/y.avi", name: "y.avi" },
        ]
    }

    function test_basename(data) {
        const window = createMain()
        compare(window.basename(data.path), data.name)
    }

    function test_helpersToleratePlayerAbsence() {
        const window = createMain()
        compare(window.seekStepUs(), 5000000)
        window.stepSpeed(1)
        window.stepSpeed(-1)
    }

    function test_alwaysOnTopReappliesTheFlags() {
        const window = createMain()
        verify(!(window.flags & Qt.WindowStaysOnTopHint))
        window.alwaysOnTop = true
        verify(window.flags & Qt.WindowStaysOnTopHint)
        window.alwaysOnTop = false
        verify(!(window.flags & Qt.WindowStaysOnTopHint))
    }

    // The view settings outlive the window; the next one starts with them.
    function test_viewSettingsAreKept() {
        let window = createMain()
        window.playlistVisible = false
        window.fillMode = 2
        window.aspectOverride = 4 / 3
        window.destroy()
        wait(0)
        window = createMain()
        compare(window.playlistVisible, false)
        compare(window.fillMode, 2)
        fuzzyCompare(window.aspectOverride, 4 / 3, 0.0001)
        compare(part(window, "videoSink").fillMode, 2)
        window.playlistVisible = true
        window.fillMode = 0
        window.aspectOverride = 0
    }

    function test_compactLevels_data() {
        return [
            { tag: "narrower than 400", width: 399, compact: 4, time: "0:00:00", rowWidth: 112 },
            { tag: "exactly 400", width: 400, compact: 3, time: "0:00:00", rowWidth: 150 },
            { tag: "469", width: 469, compact: 3, time: "0:00:00", rowWidth: 150 },
            { tag: "470", width: 470, compact: 2, time: "0:00:00  /  0:00:00", rowWidth: 226 },
            { tag: "559", width: 559, compact: 2, time: "0:00:00  /  0:00:00", rowWidth: 226 },
            { tag: "659", width: 659, compact: 1, time: "0:00:00  /  0:00:00", rowWidth: 226 },
            { tag: "660", width: 660, compact: 0, time: "0:00:00  /  0:00:00", rowWidth: 226 },
        ]
    }

    function test_compactLevels(data) {
        const window = createMain()
        resizeBar(window, data.width)
        const bar = part(window, "transportBar")
        compare(bar.compact, data.compact)
        compare(part(window, "timeLabel").text, data.time)
        compare(part(window, "stopButton").visible, data.compact < 4)
        compare(part(window, "repeatButton").visible, data.compact < 3)
        compare(part(window, "shuffleButton").visible, data.compact < 3)
        verify(part(window, "previousButton").visible)
        verify(part(window, "playButton").visible)
        verify(part(window, "nextButton").visible)
        tryCompare(part(window, "transportRow"), "width", data.rowWidth)
    }

    // Centred while there is room, never within 12 px of the bar's end, never within 12 px of the time.
    function test_transportRowPlace() {
        const window = createMain()
        // Wide enough that the centred row keeps clear of the tools row with all its buttons.
        resizeBar(window, 1000)
        const row = part(window, "transportRow")
        const bottom = part(window, "bottomRow")
        const time = part(window, "timeLabel")
        compare(bottom.width, 1000 - 16 - 12)
        compare(row.x, (bottom.width - row.width) / 2)
        verify(row.x >= time.width + 12)

        const tools = part(window, "toolsRow")
        verify(row.x + row.width <= tools.x - 12)

        // A wider tools row than the player's own brings the centred row within 12 px of it: it keeps exactly 12.
        resizeBar(window, 800)
        Qt.createQmlObject("import QtQuick; Item { width: 100; height: 1 }", tools)
        // Subtitles, speed, mute, the slider, playlist, full screen and the new item, 4 px apart.
        tryCompare(tools, "x", bottom.width - (30 + 40 + 3 * 28 + 90 + 100 + 6 * 4))
        tryCompare(row, "x", tools.x - 12 - row.width)
        verify(row.x < (bottom.width - row.width) / 2)
        verify(row.x >= time.width + 12)

        // Narrow enough that centring would come close to the time display.
        resizeBar(window, 480)
        tryVerify(() => row.x === Math.max(time.width + 12,
                                           Math.min((bottom.width - row.width) / 2, tools.x - row.width - 12)))
        verify(row.x >= time.width + 12)
    }

    // The row hangs from the bottom row's right end and gives up the slider first.
    function test_toolsRowByWidth_data() {
        return [
            { tag: "559", width: 559, slider: false, sliderWidth: 56, speed: false },
            { tag: "560", width: 560, slider: false, sliderWidth: 56, speed: true },
            { tag: "659", width: 659, slider: false, sliderWidth: 56, speed: true },
            { tag: "660", width: 660, slider: true, sliderWidth: 56, speed: true },
            { tag: "759", width: 759, slider: true, sliderWidth: 56, speed: true },
            { tag: "760", width: 760, slider: true, sliderWidth: 90, speed: true },
        ]
    }

    function test_toolsRowByWidth(data) {
        const window = createMain()
        resizeBar(window, data.width)
        const tools = part(window, "toolsRow")
        const slider = part(window, "volSlider")
        compare(slider.visible, data.slider)
        compare(slider.implicitWidth, data.sliderWidth)
        verify(part(window, "muteButton").visible)
        verify(part(window, "playlistButton").visible)
        verify(part(window, "fullScreenButton").visible)
        compare(part(window, "subsButton").visible, data.speed)
        compare(part(window, "speedButton").visible, data.speed)
        // Without casting no cast button: subtitles 30 and speed 40 when shown, mute, playlist and full
        // screen at 28 each, the slider when shown, 4 px between neighbours.
        const widths = [28, 28, 28].concat(data.speed ? [30, 40] : []).concat(data.slider ? [slider.width] : [])
        const expected = widths.reduce((a, b) => a + b, 0) + 4 * (widths.length - 1)
        tryCompare(tools, "width", expected)
        tryCompare(tools, "x", part(window, "bottomRow").width - expected)
    }

    function test_toolsFallbacksWithoutPlayer() {
        const window = createMain()
        resizeBar(window, 800)
        compare(part(window, "muteButton").tip, "Mute (M)")
        compare(part(window, "speakerIcon").silent, false)
        const slider = part(window, "volSlider")
        compare(slider.value, 80)
        compare(part(window, "fullScreenButton").tip, "Fullscreen (F11)")
        // Nothing to write to: moving the slider or turning the wheel over it changes nothing and raises nothing.
        mouseDrag(slider, slider.width / 2, slider.height / 2, -slider.width, 0)
        compare(slider.value, 80)
        mouseWheel(slider, slider.width / 2, slider.height / 2, 0, 120)
        compare(slider.value, 80)
    }

    function test_playlistButtonTogglesThePanelSetting() {
        const window = createMain()
        const button = part(window, "playlistButton")
        const start = window.playlistVisible
        mouseClick(button)
        compare(window.playlistVisible, !start)
        mouseClick(button)
        compare(window.playlistVisible, start)
    }

    // Full screen drops the playlist button; the full-screen button stays at the row's right end.
    function test_fullScreenButton() {
        const window = createMain()
        const button = part(window, "fullScreenButton")
        const tools = part(window, "toolsRow")
        mouseClick(button)
        tryCompare(window, "fs", true)
        verify(!part(window, "playlistButton").visible)
        compare(button.tip, "Leave fullscreen (Esc)")
        const slider = part(window, "volSlider")
        tryCompare(tools, "width", 2 * 28 + 4 + (slider.visible ? slider.width + 4 : 0)
                                   + (part(window, "speedButton").visible ? 30 + 40 + 2 * 4 : 0))
        compare(button.x + button.width, tools.width)
        mouseClick(button)
        tryCompare(window, "fs", false)
        verify(part(window, "playlistButton").visible)
    }

    function test_seekBarIsInertWithoutMedia() {
        const window = createMain()
        const seekMouse = part(window, "seekMouse")
        verify(!seekMouse.enabled)
        verify(!part(window, "hoverTip").visible)
        verify(!part(window, "playhead").visible)
        compare(part(window, "seekProgress").width, 0)
        compare(part(window, "chapterMarks").count, 0)
    }

    function test_clampFraction() {
        const window = createMain()
        resizeBar(window, 532)
        const seekMouse = part(window, "seekMouse")
        compare(seekMouse.width, 500)
        compare(seekMouse.clampFraction(0), 0)
        compare(seekMouse.clampFraction(-40), 0)
        compare(seekMouse.clampFraction(125), 0.25)
        compare(seekMouse.clampFraction(500), 1)
        compare(seekMouse.clampFraction(900), 1)
    }

    function test_buttonFallbacksWithoutPlayer() {
        const window = createMain()
        compare(part(window, "playButton").isPlaying, false)
        compare(part(window, "repeatButton").tip, "Repeat off (R)")
        verify(!part(window, "repeatOneBadge").visible)
        compare(part(window, "shuffleButton").tip, "Shuffle off")
        compare(part(window, "stopButton").tip, "Stop (Ctrl+W)")
    }

    // In full screen the bar floats over the picture and fades out after 2.5 s without pointer activity.
    function test_fullScreenHidesTheControlsUntilPoked() {
        const window = createMain()
        const bar = part(window, "transportBar")
        const sink = part(window, "videoSink")
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        // The menu bar goes with full screen, so the stage takes the whole height; the playlist panel is hidden,
        // and leaving full screen must still give the bars back their height.
        tryCompare(sink, "height", window.height)
        verify(window.controlsShown)
        tryCompare(window, "controlsShown", false, 4000)
        tryCompare(bar, "visible", false, 1000)
        window.pokeControls()
        verify(window.controlsShown)
        verify(bar.visible)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        tryCompare(sink, "height", window.height - window.menuBar.height - 64 - 22)
        // Windowed, nothing is timed.
        wait(2700)
        verify(window.controlsShown)
    }
}
