import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's keys with the real player behind them. Keys go to the main window as the focus window
// (TestKit.keyClick), where window shortcuts fire; the conversion queue, the library and casting are doubles.
TestCase {
    id: testCase
    name: "MainShortcuts"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening
    readonly property int boundCount: Player.playlistCount
    readonly property bool boundCasting: Player.casting
    // A value a row's set-up notes for its check.
    property var before

    SignalSpy {
        id: triggered
        target: Actions
        signalName: "triggered"
    }

    SignalSpy {
        id: clockSpy
        target: Player
        signalName: "clockUsChanged"
    }

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
        triggered.clear()
        clockSpy.clear()
    }

    function cleanup() {
        Cast.detach(false)
        tryCompare(testCase, "boundCasting", false)
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000, "the player stops")
        Player.repeatMode = 0
        Player.subtitleScale = 1
        Hud.visible = false
    }

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        window.libraryVisible = false
        window.playlistVisible = true
        window.alwaysOnTop = false
        window.aspectOverride = 0
        window.fillMode = VideoSink.Fit
        tryVerify(() => window.visible && window.active !== undefined)
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    // Items by the visual tree, dialogs and windows by the object tree.
    function part(window, name) {
        const object = findChild(window.contentItem, name) || findChild(window, name)
        verify(object !== null, name)
        // A window made on first use is reached through its stand-in, which makes it.
        return object.sourceComponent !== undefined && object.get ? object.get() : object
    }

    function osdText(window) {
        return part(window, "osdText").text
    }

    // Queues a fixture, waits until it plays and pauses it, so that only the keys move the clock. Media
    // settings a test changes need a session, so they are set back here too.
    function playPaused(name) {
        Actions.trigger("playlist.add", name.indexOf("://") > 0 ? name : TestKit.fixture(name))
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return boundState === MediaSessionBridge.Paused
        }, 10000, "paused")
        Player.volume = 0.6
        Player.speed = 1
        Player.subtitleDelayMs = 0
        clockSpy.clear()
        triggered.clear()
    }

    // Plays on from the paused start for a second, so that pictures have been drawn, pauses, seeks to us and
    // notes the clock there. The key follows at once, before the seek's picture may have been drawn.
    function stepFrom(us) {
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Paused)
                Player.play()
            return Player.clockUs > 1000000
        }, 10000, "played on")
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return boundState === MediaSessionBridge.Paused
        }, 10000, "paused")
        // Always a seek, even when a loaded machine has played on to near us: the picture on screen may then lag
        // far behind the clock, and the step would rightly go from it. A seek on its way reads its target.
        tryVerify(() => {
            if (Player.clockUs !== us)
                Player.seekUs(us)
            return Player.clockUs === us
        }, 10000, "seek to " + us)
        clockSpy.clear()
        before = Player.clockUs
    }

    // The bridge only tries the engine's lock, so a seek may have to be asked again.
    function seekTo(us) {
        tryVerify(() => {
            if (Math.abs(Player.clockUs - us) >= 300000)
                Player.seekUs(us)
            return Math.abs(Player.clockUs - us) < 300000
        }, 10000, "seek to " + us)
        clockSpy.clear()
    }

    function press(window, key, modifiers) {
        verify(TestKit.keyClick(window, key, modifiers === undefined ? Qt.NoModifier : modifiers))
    }

    // Types lower-case letters, digits and spaces as key presses the window's shortcuts would see.
    function type(window, text) {
        for (const c of text)
            press(window, c === " " ? Qt.Key_Space : c.toUpperCase().charCodeAt(0))
    }

    function actionIds() {
        const ids = []
        for (let i = 0; i < triggered.count; ++i)
            ids.push(triggered.signalArguments[i][0])
        return ids
    }

    function clockNear(us) {
        return Math.abs(Player.clockUs - us) < 600000
    }

    // ---- every key of the window, with the condition it has

    // keys: what is pressed, in order, as [key, modifiers]; media: what plays (paused) first; setup: runs
    // after that; effect: holds once the keys are pressed (waited for); again: the first key is pressed again
    // while the effect does not hold; still: a row whose keys must leave everything as it was, checked after
    // a while.
    function test_keys_data() {
        const C = Qt.ControlModifier, S = Qt.ShiftModifier
        const fortyFive = "forty-five-seconds.mkv"
        return [
            { tag: "Space toggles", keys: [[Qt.Key_Space]], media: "clip.mp4",
              effect: w => actionIds().join() === "playback.toggle" && boundState === MediaSessionBridge.Playing },
            { tag: "Ctrl+O", keys: [[Qt.Key_O, C]], effect: w => part(w, "openDialog").visible },
            { tag: "Ctrl+Shift+O", keys: [[Qt.Key_O, C | S]], effect: w => part(w, "folderDialog").visible },
            { tag: "Ctrl+U", keys: [[Qt.Key_U, C]], effect: w => part(w, "urlDialog").opened },
            { tag: "Ctrl+S", keys: [[Qt.Key_S, C]], media: "clip.mp4",
              effect: w => findChild(part(w, "savePlaylistDialog"), "fileDialog").visible },
            { tag: "Ctrl+S with an empty playlist", keys: [[Qt.Key_S, C]], still: true,
              effect: w => !findChild(part(w, "savePlaylistDialog"), "fileDialog").visible },
            { tag: "Ctrl+W", keys: [[Qt.Key_W, C]], media: "clip.mp4",
              effect: w => actionIds().join() === "playback.stop" && !boundHasMedia },
            { tag: "F11", keys: [[Qt.Key_F11]], effect: w => w.fs },
            { tag: "F", keys: [[Qt.Key_F]], effect: w => w.fs },
            { tag: "F twice", keys: [[Qt.Key_F], [Qt.Key_F]], effect: w => !w.fs && w.visibility === Window.Windowed },
            { tag: "M mutes", keys: [[Qt.Key_M]], media: "clip.mp4",
              effect: w => Player.muted && osdText(w) === "Muted" },
            { tag: "M unmutes to the volume before", keys: [[Qt.Key_M], [Qt.Key_M]], media: "clip.mp4",
              effect: w => !Player.muted && Math.abs(Player.volume - 0.6) < 0.001 && osdText(w) === "Volume 60%" },
            { tag: "Up", keys: [[Qt.Key_Up]], media: "clip.mp4",
              effect: w => Math.abs(Player.volume - 0.65) < 0.001 && osdText(w) === "Volume 65%" },
            { tag: "Down", keys: [[Qt.Key_Down]], media: "clip.mp4",
              effect: w => Math.abs(Player.volume - 0.55) < 0.001 && osdText(w) === "Volume 55%" },
            { tag: "PgUp", keys: [[Qt.Key_PageUp]], effect: w => actionIds().join() === "playlist.previous" },
            { tag: "PgDown", keys: [[Qt.Key_PageDown]], effect: w => actionIds().join() === "playlist.next" },
            { tag: "Shift+PgDown", keys: [[Qt.Key_PageDown, S]], media: "multi.mkv",
              effect: w => Player.currentChapter === 1 && clockNear(1500000) },
            // Half a second into the second chapter: back to the first one.
            { tag: "Shift+PgUp", keys: [[Qt.Key_PageUp, S]], media: "multi.mkv", setup: w => seekTo(2000000),
              effect: w => Player.currentChapter === 0 && clockNear(0) },
            { tag: "Shift+PgDown without chapters", keys: [[Qt.Key_PageDown, S]], media: "clip.mp4",
              effect: w => osdText(w) === "No chapters" },
            { tag: "Ctrl+Shift+P", keys: [[Qt.Key_P, C | S]], effect: w => Hud.visible },
            { tag: "Ctrl+Shift+P twice", keys: [[Qt.Key_P, C | S], [Qt.Key_P, C | S]], still: true,
              effect: w => !Hud.visible && !part(w, "hudPanel").visible },
            { tag: "Ctrl+Shift+C", keys: [[Qt.Key_C, C | S]], effect: w => part(w, "castWindow").visible },
            { tag: "Ctrl+B", keys: [[Qt.Key_B, C]], effect: w => w.libraryVisible && part(w, "librarySidebar").visible },
            { tag: "Ctrl+Shift+L", keys: [[Qt.Key_L, C | S]], effect: w => w.showLibrary && part(w, "libraryView").visible },
            { tag: "Ctrl+L", keys: [[Qt.Key_L, C]], effect: w => !w.playlistVisible },
            { tag: "Ctrl+T", keys: [[Qt.Key_T, C]], effect: w => w.alwaysOnTop && osdText(w) === "Always on top" },
            { tag: "Ctrl+T twice", keys: [[Qt.Key_T, C], [Qt.Key_T, C]],
              effect: w => !w.alwaysOnTop && osdText(w) === "Always on top off" },
            { tag: "Ctrl+I", keys: [[Qt.Key_I, C]], media: "clip.mp4", effect: w => part(w, "infoDialog").opened },
            { tag: "Ctrl+P", keys: [[Qt.Key_P, C]], effect: w => part(w, "prefsDialog").opened },
            { tag: "F1", keys: [[Qt.Key_F1]], effect: w => part(w, "shortcutsDialog").opened },
            { tag: "Ctrl+E", keys: [[Qt.Key_E, C]], effect: w => part(w, "fxDialog").visible },
            { tag: "Ctrl+R", keys: [[Qt.Key_R, C]], effect: w => part(w, "convertDialog").visible },
            { tag: "Right", keys: [[Qt.Key_Right]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(20000000 + Player.seekStepSeconds * 1000000) },
            { tag: "Left", keys: [[Qt.Key_Left]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(20000000 - Player.seekStepSeconds * 1000000) },
            { tag: "Shift+Right to the end", keys: [[Qt.Key_Right, S]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(Player.durationUs) },
            { tag: "Shift+Left to the start", keys: [[Qt.Key_Left, S]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(0) },
            { tag: "Home", keys: [[Qt.Key_Home]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(0) },
            { tag: "Home without media", keys: [[Qt.Key_Home]], still: true, effect: w => clockSpy.count === 0 },
            // A step goes from the seek's picture, never from the one drawn before the seek.
            { tag: "period", keys: [[Qt.Key_Period]], media: "clip.mp4", setup: w => stepFrom(2000000),
              effect: w => Player.clockUs > before && Player.clockUs < before + 300000 },
            { tag: "comma", keys: [[Qt.Key_Comma]], media: "clip.mp4", setup: w => stepFrom(2000000),
              effect: w => Player.clockUs < before && Player.clockUs > before - 300000 },
            { tag: "]", keys: [[Qt.Key_BracketRight]], media: "clip.mp4",
              effect: w => Math.abs(Player.speed - 1.25) < 0.001 },
            { tag: "[", keys: [[Qt.Key_BracketLeft]], media: "clip.mp4",
              effect: w => Math.abs(Player.speed - 0.75) < 0.001 },
            { tag: "Backspace", keys: [[Qt.Key_BracketRight], [Qt.Key_BracketRight], [Qt.Key_Backspace]],
              media: "clip.mp4", effect: w => Math.abs(Player.speed - 1) < 0.001 && osdText(w) === "Speed 1×" },
            { tag: "B", keys: [[Qt.Key_B]], media: "multi.mkv",
              effect: w => Player.currentAudioTrack === Player.audioTracks[1].id
                           && osdText(w) === "Audio: " + Player.audioTracks[1].label },
            { tag: "B with one audio track", keys: [[Qt.Key_B]], media: "clip.mp4",
              effect: w => osdText(w) === "Only one audio track" },
            // One subtitle track: V goes from it to none, or from none to it.
            { tag: "V", keys: [[Qt.Key_V]], media: "multi.mkv", setup: w => before = Player.currentSubtitleTrack,
              effect: w => Player.currentSubtitleTrack !== before
                           && [-1, Player.subtitleTracks[0].id].includes(Player.currentSubtitleTrack) },
            { tag: "G five times", keys: [[Qt.Key_G], [Qt.Key_G], [Qt.Key_G], [Qt.Key_G], [Qt.Key_G]],
              media: "multi.mkv", effect: w => Player.subtitleDelayMs === -500 && osdText(w) === "Subtitle delay -500 ms" },
            { tag: "H", keys: [[Qt.Key_H]], media: "multi.mkv",
              effect: w => Player.subtitleDelayMs === 100 && osdText(w) === "Subtitle delay +100 ms" },
            { tag: "Ctrl+Up", keys: [[Qt.Key_Up, C]], effect: w => Math.abs(Player.subtitleScale - 1.1) < 0.001 },
            { tag: "Ctrl+Down at the bottom", keys: [[Qt.Key_Down, C]], setup: w => Player.subtitleScale = 0.35,
              effect: w => Math.abs(Player.subtitleScale - 0.3) < 0.001 && osdText(w) === "Subtitle size 30%" },
            { tag: "A", keys: [[Qt.Key_A]],
              effect: w => Math.abs(w.aspectOverride - 16 / 9) < 0.001 && osdText(w) === "Aspect ratio: 16:9" },
            { tag: "Z", keys: [[Qt.Key_Z]], effect: w => w.fillMode === VideoSink.Crop && osdText(w) === "Crop to fill" },
            { tag: "R", keys: [[Qt.Key_R]], effect: w => Player.repeatMode === 1 && osdText(w) === "Repeat one" },
            { tag: "R three times", keys: [[Qt.Key_R], [Qt.Key_R], [Qt.Key_R]],
              effect: w => Player.repeatMode === 0 && osdText(w) === "Repeat off" },
            // On a loaded machine the paused start's first picture may not have been shown yet: press again.
            { tag: "Shift+S", keys: [[Qt.Key_S, S]], media: "clip.mp4", again: true,
              effect: w => osdText(w).startsWith("Snapshot saved to ") },
            { tag: "Delete", keys: [[Qt.Key_Delete]], media: "clip.mp4",
              setup: w => { Actions.trigger("playlist.add", TestKit.fixture("tone6.mkv")); part(w, "playlistView").currentIndex = 1 },
              effect: w => boundCount === 1 && Player.playlist[0].endsWith("clip.mp4") },
            { tag: "Delete without a selected row", keys: [[Qt.Key_Delete]], media: "clip.mp4", still: true,
              setup: w => part(w, "playlistView").currentIndex = -1, effect: w => boundCount === 1 && boundHasMedia },
            { tag: "Delete with the library browser shown", keys: [[Qt.Key_Delete]], media: "clip.mp4", still: true,
              setup: w => { part(w, "playlistView").currentIndex = 0; w.showLibraryView(true) },
              effect: w => boundCount === 1 && boundHasMedia },
            { tag: "0", keys: [[Qt.Key_0]], media: fortyFive, setup: w => seekTo(20000000),
              effect: w => clockNear(0) },
            { tag: "5", keys: [[Qt.Key_5]], media: fortyFive, effect: w => clockNear(Player.durationUs / 2) },
            { tag: "9", keys: [[Qt.Key_9]], media: fortyFive, effect: w => clockNear(Player.durationUs * 0.9) },
            { tag: "5 on a live stream", keys: [[Qt.Key_5]], media: "live", still: true,
              setup: w => before = Player.clockUs,
              effect: w => Player.durationUs === 0 && Math.abs(Player.clockUs - before) < 100000 },
        ]
    }

    function test_keys(data) {
        const window = createMain()
        if (data.media === "live") {
            verify(TestKit.serveFile("/live/video.mkv", TestKit.fixture("video-no-duration.mkv")))
            playPaused(TestKit.url("/live/video.mkv"))
        } else if (data.media) {
            playPaused(data.media)
        }
        if (data.setup)
            data.setup(window)
        clockSpy.clear()
        triggered.clear()
        for (const [key, modifiers] of data.keys)
            press(window, key, modifiers)
        if (data.still) {
            wait(300)
            verify(data.effect(window))
        } else {
            // The message is made once the time is up, so that it tells the state the key left.
            const deadline = Date.now() + 10000
            while (!data.effect(window) && Date.now() < deadline) {
                if (data.again)
                    press(window, data.keys[0][0], data.keys[0][1])
                wait(50)
            }
            verify(data.effect(window), data.tag + ": clock " + Player.clockUs + " (before " + before + "), state "
                   + boundState + ", osd \"" + osdText(window) + "\"")
        }
    }

    // ---- Esc, the search field and other text fields

    function searchField(window) {
        return part(window, "librarySearch")
    }

    function test_ctrlFShowsTheSidebarAndSelectsTheSearch() {
        const window = createMain()
        verify(!part(window, "librarySidebar").visible)
        searchField(window).text = "older query"
        press(window, Qt.Key_F, Qt.ControlModifier)
        tryVerify(() => window.libraryVisible && part(window, "librarySidebar").searchFocused)
        verify(searchField(window).activeFocus)
        compare(searchField(window).selectedText, "older query")
    }

    function test_escapeInTheSearchField() {
        const window = createMain()
        press(window, Qt.Key_F, Qt.ControlModifier)
        const field = searchField(window)
        tryVerify(() => field.activeFocus)
        type(window, "rain")
        compare(field.text, "rain")

        // Full screen first, whatever has the focus; the field keeps its text and its focus.
        press(window, Qt.Key_F11)
        tryCompare(window, "fs", true)
        press(window, Qt.Key_Escape)
        tryCompare(window, "fs", false)
        compare(window.visibility, Window.Windowed)
        compare(field.text, "rain")
        tryVerify(() => field.activeFocus)

        // Then the first Esc empties the field, the second leaves it.
        press(window, Qt.Key_Escape)
        tryCompare(field, "text", "")
        verify(field.activeFocus)
        press(window, Qt.Key_Escape)
        tryCompare(field, "activeFocus", false)
        verify(window.contentItem.activeFocus)
        // Back at the single keys.
        press(window, Qt.Key_A)
        tryCompare(window, "aspectOverride", 16 / 9)
    }

    function test_escapeLeavesAnotherTextInput() {
        const window = createMain()
        const other = Qt.createQmlObject("import QtQuick.Controls.Basic; TextField { width: 100 }", window.contentItem)
        other.forceActiveFocus()
        verify(other.activeFocus)
        press(window, Qt.Key_Escape)
        tryCompare(other, "activeFocus", false)
        verify(window.contentItem.activeFocus)
        compare(window.visibility, Window.Windowed)
        // Outside any field Esc does nothing.
        press(window, Qt.Key_Escape)
        wait(200)
        compare(window.visibility, Window.Windowed)
        verify(window.contentItem.activeFocus)
        other.destroy()
    }

    // The field takes the keys it types and edits with; the others still reach the window.
    function test_textFieldKeepsItsKeys() {
        const window = createMain()
        playPaused("clip.mp4")
        seekTo(1500000)
        const clock = Player.clockUs
        part(window, "playlistView").currentIndex = 0
        press(window, Qt.Key_F, Qt.ControlModifier)
        const field = searchField(window)
        tryVerify(() => field.activeFocus)
        const volume = Player.volume

        type(window, "mfar 5 ")
        press(window, Qt.Key_S, Qt.ShiftModifier)
        compare(field.text.toLowerCase(), "mfar 5 s")
        press(window, Qt.Key_Backspace)
        press(window, Qt.Key_Home)
        press(window, Qt.Key_Delete)
        press(window, Qt.Key_Right)
        press(window, Qt.Key_Left)
        press(window, Qt.Key_Right, Qt.ShiftModifier)
        press(window, Qt.Key_Delete)
        compare(field.text, "ar 5 ")
        wait(300)
        compare(triggered.count, 0)
        verify(!Player.muted)
        verify(!window.fs)
        compare(window.aspectOverride, 0)
        // The seek reopens the file and reads Opening until it lands, which a loaded machine can take longer for.
        tryCompare(testCase, "boundState", MediaSessionBridge.Paused, 10000)
        compare(boundCount, 1)
        verify(Math.abs(Player.clockUs - clock) < 100000, "clock " + Player.clockUs)
        verify(field.activeFocus)

        press(window, Qt.Key_Up)
        tryVerify(() => Math.abs(Player.volume - (volume + 0.05)) < 0.001)
        press(window, Qt.Key_Down)
        tryVerify(() => Math.abs(Player.volume - volume) < 0.001)
        press(window, Qt.Key_L, Qt.ControlModifier)
        tryCompare(window, "playlistVisible", false)
        verify(field.activeFocus)
        press(window, Qt.Key_F11)
        tryCompare(window, "fs", true)
        press(window, Qt.Key_Escape)
        tryCompare(window, "fs", false)
        compare(field.text, "ar 5 ")
    }

    // ---- what blocks the keys

    function test_modalDialogOrMenuBlocksTheKeys_data() {
        return [
            { tag: "preferences dialog", open: w => part(w, "prefsDialog").open(), popup: "prefsDialog" },
            { tag: "stage menu", open: w => part(w, "stageMenu").popup(part(w, "stage"), 20, 20), popup: "stageMenu" },
        ]
    }

    function test_modalDialogOrMenuBlocksTheKeys(data) {
        const window = createMain()
        playPaused("clip.mp4")
        const popup = part(window, data.popup)
        data.open(window)
        tryCompare(popup, "opened", true)
        press(window, Qt.Key_Space)
        press(window, Qt.Key_F)
        wait(300)
        compare(triggered.count, 0)
        compare(boundState, MediaSessionBridge.Paused)
        verify(!window.fs)
        popup.close()
        tryCompare(popup, "visible", false)
        press(window, Qt.Key_Space)
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 10000)
        compare(actionIds().join(), "playback.toggle")
    }

    // ---- casting

    function test_muteWhileCasting() {
        const window = createMain()
        playPaused("clip.mp4")
        Cast.devices = [{ id: "tv", name: "Living Room", type: "chromecast", active: true }]
        Cast.deviceName = "Living Room"
        Cast.active = true
        Cast.remoteState = MediaSessionBridge.Playing
        Cast.attach()
        tryCompare(testCase, "boundCasting", true)
        press(window, Qt.Key_M)
        tryCompare(part(window, "osdText"), "text", "Mute is not available while casting", 5000)
        wait(200)
        compare(osdText(window), "Mute is not available while casting")
        verify(!Player.muted)
    }
}
