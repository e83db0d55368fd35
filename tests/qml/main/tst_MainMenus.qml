import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's menu bar, its shared submenus and the stage's context menu, read entry by entry as the
// menus draw them, and chosen, with the real player behind them.
TestCase {
    id: testCase
    name: "MainMenus"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening
    readonly property int boundCount: Player.playlistCount

    SignalSpy {
        id: triggered
        target: Actions
        signalName: "triggered"
    }

    SignalSpy {
        id: osdSpy
        target: Player
        signalName: "osd"
    }

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
        triggered.clear()
        osdSpy.clear()
        Player.clearRecentFiles()
        Player.shuffle = false
        Player.playPlaylist = true
        Player.repeatMode = 0
        Player.visualization = 0
    }

    function cleanup() {
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000, "the player stops")
        if (Math.abs(Player.speed - 1) > 0.001)
            Player.speed = 1
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

    // True once condition holds, false when timeoutMs pass first.
    function waitFor(condition, timeoutMs) {
        const deadline = Date.now() + timeoutMs
        while (!condition()) {
            if (Date.now() > deadline)
                return false
            wait(20)
        }
        return true
    }

    function part(window, name) {
        const object = findChild(window.contentItem, name) || findChild(window, name)
                       || findChild(window.contentItem.parent, name)
        verify(object !== null, name)
        // A window made on first use is reached through its stand-in, which makes it.
        return object.sourceComponent !== undefined && object.get ? object.get() : object
    }

    function play(name) {
        Actions.trigger("playlist.add", name.startsWith("/") ? name : TestKit.fixture(name))
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
    }

    function pauseNow() {
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return boundState === MediaSessionBridge.Paused
        }, 10000, "paused")
    }

    // The menu bar's menus by their titles as drawn.
    function barMenu(window, title) {
        const bar = window.menuBar
        for (let i = 0; i < bar.count; ++i) {
            if (bar.menuAt(i).title.replace(/&/g, "") === title)
                return bar.menuAt(i)
        }
        fail("no menu " + title)
    }

    // One line per entry as the menu draws it: "name|hint|icon|enabled|marked", "-" for a separator; the
    // icon by its file's base name.
    function describe(item) {
        if (item.marked === undefined)
            return "-"
        const icon = String(item.icon.source)
        const iconName = icon === "" ? "" : icon.substring(icon.lastIndexOf("/") + 1).replace(".svg", "")
        return [findChild(item, "entryName").text, findChild(item, "entryHint").text, iconName,
                item.enabled ? 1 : 0, item.marked ? 1 : 0].join("|")
    }

    function entries(menu) {
        const lines = []
        for (let i = 0; i < menu.count; ++i)
            lines.push(describe(menu.itemAt(i)))
        return lines
    }

    function entry(menu, name) {
        for (let i = 0; i < menu.count; ++i) {
            const item = menu.itemAt(i)
            if (item.marked !== undefined && findChild(item, "entryName").text === name)
                return item
        }
        fail("no entry " + name + " in " + menu.title)
    }

    function sub(menu, name) {
        const menuItem = entry(menu, name)
        verify(menuItem.subMenu !== null, name)
        return menuItem.subMenu
    }

    // Chooses an entry as a click would: its action, then the menu closes.
    function choose(menu, name) {
        const item = entry(menu, name)
        verify(item.enabled, name)
        item.action.trigger()
    }

    function compareEntries(menu, expected) {
        const actual = entries(menu)
        compare(actual.join("\n"), expected.join("\n"), menu.title)
    }

    // ---- what the menus hold

    function test_menusWithNothingLoaded() {
        const window = createMain()
        const bar = window.menuBar
        const titles = []
        for (let i = 0; i < bar.count; ++i)
            titles.push(findChild(bar.itemAt(i), "menuTitle").text)
        compare(titles, ["File", "Playback", "Audio", "Video", "Subtitles", "View", "Help"])

        compareEntries(barMenu(window, "File"), [
            "Open Files...|Ctrl+O|open|1|0", "Open Folder...|Ctrl+Shift+O|folder|1|0",
            "Open Network Stream...|Ctrl+U|stream|1|0", "Open Recent|\u203a||0|0", "-",
            "Convert / Save...|Ctrl+R|convert|1|0", "Conversion Queue...|||1|0", "-",
            "Save Playlist...|Ctrl+S|save|0|0", "-", "Close|Ctrl+W|close|0|0", "-", "Exit|Ctrl+Q|exit|1|0"])
        // A disabled submenu disables what it holds.
        compareEntries(sub(barMenu(window, "File"), "Open Recent"), ["-", "Clear Recent Files|||0|0"])
        compareEntries(barMenu(window, "Playback"), [
            "Play / Pause|Space|play|0|0", "Stop||stop|0|0", "-", "Previous|PgUp|previous|0|0",
            "Next|PgDn|next|0|0", "-", "Jump Forward|\u2192||0|0", "Jump Back|\u2190||0|0",
            "Next Frame|.||0|0", "Previous Frame|,||0|0", "-", "Speed|\u203a||1|0", "Chapters|\u203a||0|0", "-",
            "Repeat|\u203a||1|0", "Shuffle||shuffle|1|0", "Continue to Next Item||playPlaylist|1|1", "-",
            "Clear Playlist||clear|0|0"])
        compareEntries(sub(barMenu(window, "Playback"), "Speed"), [
            "0.25×|||1|0", "0.5×|||1|0", "0.75×|||1|0", "Normal (1×)|||1|1", "1.25×|||1|0", "1.5×|||1|0",
            "1.75×|||1|0", "2×|||1|0", "2.5×|||1|0", "3×|||1|0", "4×|||1|0"])
        compareEntries(sub(barMenu(window, "Playback"), "Chapters"), [
            "Next Chapter|Shift+PgDn||0|0", "Previous Chapter|Shift+PgUp||0|0", "-"])
        compareEntries(sub(barMenu(window, "Playback"), "Repeat"), [
            "Off|||1|1", "Repeat Current Item|||1|0", "Repeat Playlist|||1|0"])
        compareEntries(barMenu(window, "Audio"), [
            "Audio Track|\u203a||0|0", "-", "Volume Up|\u2191||1|0", "Volume Down|\u2193||1|0", "Mute|M||1|0", "-",
            "Equalizer & Effects...|Ctrl+E|eq|1|0", "Visualization|\u203a||1|0"])
        compareEntries(sub(barMenu(window, "Audio"), "Visualization"), [
            "Automatic (cover art or spectrum)|||1|1", "Spectrum Analyzer|||1|0", "Waveform|||1|0",
            "VU Meter|||1|0", "Spectrogram|||1|0", "Cover Art Only|||1|0"])
        compareEntries(barMenu(window, "Video"), [
            "Aspect Ratio|\u203a||1|0", "-", "Fullscreen|F11|fullscreen|1|0", "Always on Top|Ctrl+T||1|0", "-",
            "Take Snapshot|Shift+S|camera|0|0"])
        compareEntries(sub(barMenu(window, "Video"), "Aspect Ratio"), [
            "Automatic|||1|1", "16:9|||1|0", "4:3|||1|0", "21:9|||1|0", "2.35:1|||1|0", "1.85:1|||1|0",
            "5:4|||1|0", "1:1|||1|0", "9:16|||1|0", "-", "Fit|Z||1|1", "Crop to Fill|||1|0", "Stretch|||1|0"])
        compareEntries(barMenu(window, "Subtitles"), [
            "Subtitle Track|\u203a||0|0", "-", "Delay -100 ms|G||0|0", "Delay +100 ms|H||0|0",
            "Reset Delay|||0|0", "-", "Larger|Ctrl+\u2191||1|0", "Smaller|Ctrl+\u2193||1|0", "Normal Size|||1|0"])
        compareEntries(barMenu(window, "View"), [
            "Playlist|Ctrl+L|playlist|1|1", "Cast...|Ctrl+Shift+C|cast|1|0", "Library Sidebar|Ctrl+B||1|0",
            "Library Browser|Ctrl+Shift+L||1|0", "Search Library...|Ctrl+F||1|0",
            "Library Folders & Settings...|||1|0", "-", "Media Information...|Ctrl+I|about|0|0",
            "Performance Overlay|Ctrl+Shift+P||1|0", "-", "Effects & Filters...|Ctrl+E|eq|1|0",
            "Preferences...|Ctrl+P|settings|1|0"])
        compareEntries(barMenu(window, "Help"), [
            "Keyboard Shortcuts|F1||1|0", "Check for Updates...|||1|0", "-",
            "About Kestrune Media Player||about|1|0"])
        compareEntries(part(window, "stageMenu"), [
            "Play|Space||0|0", "Stop|||0|0", "Previous|PgUp||0|0", "Next|PgDn||0|0", "-",
            "Audio Track|\u203a||0|0", "Subtitle Track|\u203a||0|0", "Speed|\u203a||1|0",
            "Aspect Ratio|\u203a||1|0", "-", "Fullscreen|F11||1|0", "Always on Top|Ctrl+T||1|0",
            "Take Snapshot|Shift+S||0|0", "Media Information...|Ctrl+I||0|0", "-", "Open Files...|Ctrl+O||1|0"])
    }

    // An audio file: media is open, so the subtitle menu is enabled, but it has no picture.
    function test_menusWithAnAudioFile() {
        const window = createMain()
        play("tone6.mkv")
        pauseNow()
        compareEntries(barMenu(window, "Playback"), [
            "Play / Pause|Space|play|1|0", "Stop||stop|1|0", "-", "Previous|PgUp|previous|1|0",
            "Next|PgDn|next|0|0", "-", "Jump Forward|\u2192||1|0", "Jump Back|\u2190||1|0",
            "Next Frame|.||0|0", "Previous Frame|,||0|0", "-", "Speed|\u203a||1|0", "Chapters|\u203a||0|0", "-",
            "Repeat|\u203a||1|0", "Shuffle||shuffle|1|0", "Continue to Next Item||playPlaylist|1|1", "-",
            "Clear Playlist||clear|1|0"])
        const tracks = Player.audioTracks
        compare(tracks.length, 1)
        compareEntries(sub(barMenu(window, "Audio"), "Audio Track"), [tracks[0].label + "|||1|1"])
        compareEntries(sub(barMenu(window, "Subtitles"), "Subtitle Track"), [
            "Off|V||1|1", "-", "Add Subtitle File...|||1|0"])
        compare(describe(entry(barMenu(window, "Video"), "Take Snapshot")), "Take Snapshot|Shift+S|camera|0|0")
        compare(describe(entry(barMenu(window, "File"), "Close")), "Close|Ctrl+W|close|1|0")
        compare(describe(entry(barMenu(window, "File"), "Save Playlist...")), "Save Playlist...|Ctrl+S|save|1|0")
        compare(describe(entry(barMenu(window, "View"), "Media Information...")),
                "Media Information...|Ctrl+I|about|1|0")
        compare(describe(entry(part(window, "stageMenu"), "Play")), "Play|Space||1|0")
        compare(describe(entry(part(window, "stageMenu"), "Subtitle Track")), "Subtitle Track|\u203a||1|0")

        // A speed between two steps marks the one it is within a thousandth of.
        Player.speed = 1.2500001
        tryVerify(() => Math.abs(Player.speed - 1.25) < 0.001)
        compare(describe(entry(sub(barMenu(window, "Playback"), "Speed"), "1.25×")), "1.25×|||1|1")
        compare(describe(entry(sub(barMenu(window, "Playback"), "Speed"), "Normal (1×)")), "Normal (1×)|||1|0")
    }

    function test_menusWithChaptersAndTracks() {
        const window = createMain()
        play("multi.mkv")
        pauseNow()
        Player.seekUs(0)
        tryCompare(Player, "currentChapter", 0, 10000)
        compareEntries(sub(barMenu(window, "Playback"), "Chapters"), [
            "Next Chapter|Shift+PgDn||1|0", "Previous Chapter|Shift+PgUp||1|0", "-",
            "Opening|0:00:00||1|1", "Closing|0:00:01||1|0"])
        compare(describe(entry(barMenu(window, "Playback"), "Chapters")), "Chapters|\u203a||1|0")
        compare(describe(entry(barMenu(window, "Playback"), "Next Frame")), "Next Frame|.||1|0")

        const audio = Player.audioTracks
        compare(audio.length, 2)
        const audioLines = audio.map(t => t.label + "|||1|" + (t.id === Player.currentAudioTrack ? 1 : 0))
        compareEntries(sub(barMenu(window, "Audio"), "Audio Track"), audioLines)
        compareEntries(sub(part(window, "stageMenu"), "Audio Track"), audioLines)

        const subs = Player.subtitleTracks
        compare(subs.length, 1)
        const off = Player.currentSubtitleTrack < 0 ? 1 : 0
        compareEntries(sub(barMenu(window, "Subtitles"), "Subtitle Track"), [
            "Off|V||1|" + off, subs[0].label + "|||1|" + (1 - off), "-", "Add Subtitle File...|||1|0"])

        // The chapter mark follows the clock.
        Player.seekChapter(1)
        tryVerify(() => entry(sub(barMenu(window, "Playback"), "Chapters"), "Closing").marked, 10000)
        verify(!entry(sub(barMenu(window, "Playback"), "Chapters"), "Opening").marked)
        TestKit.waitForFrame(window.contentItem)
    }

    // Names from outside keep their ampersands and register no mnemonic; the tenth recent file has no number.
    function test_recentFiles() {
        const window = createMain()
        const dir = TestKit.scratchDir + "/recent"
        compare(TestKit.run("rm -rf '" + dir + "' && mkdir -p '" + dir + "' && cp '" + TestKit.fixture("tone6.mkv")
                            + "' '" + dir + "/Tom & Jerry.mkv'"), 0)
        const files = [dir + "/Tom & Jerry.mkv", TestKit.fixture("tone6.mkv"), TestKit.fixture("multi.mkv"),
                       TestKit.fixture("video-only.mkv"), TestKit.fixture("commentary.mkv"),
                       TestKit.fixture("tracks.mkv"), TestKit.fixture("labels.mkv"),
                       TestKit.fixture("stream-30s.mkv"), TestKit.fixture("short-duration.mkv"),
                       TestKit.fixture("three-minutes.mkv")]
        for (let i = 0; i < files.length; ++i) {
            Player.clearPlaylist()
            tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000)
            play(files[i])
        }
        compare(Player.recentFiles.length, 10)
        const recent = sub(barMenu(window, "File"), "Open Recent")
        verify(entry(barMenu(window, "File"), "Open Recent").enabled)
        const lines = entries(recent)
        compare(lines.length, 12)
        for (let i = 0; i < 10; ++i) {
            const name = window.basename(files[9 - i])
            compare(lines[i], (i < 9 ? (i + 1) + "  " : "") + name + "|||1|0")
        }
        compare(lines[9], "Tom & Jerry.mkv|||1|0")
        compare(lines.slice(10), ["-", "Clear Recent Files|||1|0"])

        // Chosen, it opens its file again.
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000)
        choose(recent, "Tom & Jerry.mkv")
        tryVerify(() => boundHasMedia && Player.currentFile === files[0], 20000)
        tryCompare(recent, "count", 12)
        compare(describe(recent.itemAt(0)), "1  Tom & Jerry.mkv|||1|0")

        choose(recent, "Clear Recent Files")
        tryCompare(recent, "count", 2)
        verify(!entry(barMenu(window, "File"), "Open Recent").enabled)
    }

    // ---- choosing

    function test_choosingReachesItsTarget_data() {
        return [
            { tag: "open files", menu: "File", entry: "Open Files...", opens: "openDialog" },
            { tag: "open folder", menu: "File", entry: "Open Folder...", opens: "folderDialog" },
            { tag: "open stream", menu: "File", entry: "Open Network Stream...", opens: "urlDialog" },
            { tag: "convert", menu: "File", entry: "Convert / Save...", opens: "convertDialog" },
            { tag: "queue", menu: "File", entry: "Conversion Queue...", opens: "queueWindow" },
            { tag: "equalizer", menu: "Audio", entry: "Equalizer & Effects...", opens: "fxDialog" },
            { tag: "cast", menu: "View", entry: "Cast...", opens: "castWindow" },
            { tag: "library settings", menu: "View", entry: "Library Folders & Settings...",
              opens: "librarySettings" },
            { tag: "effects", menu: "View", entry: "Effects & Filters...", opens: "fxDialog" },
            { tag: "preferences", menu: "View", entry: "Preferences...", opens: "prefsDialog" },
            { tag: "shortcuts", menu: "Help", entry: "Keyboard Shortcuts", opens: "shortcutsDialog" },
            { tag: "updates", menu: "Help", entry: "Check for Updates...", opens: "updateDialog" },
            { tag: "about", menu: "Help", entry: "About Kestrune Media Player", opens: "aboutDialog" },
            { tag: "stage open files", menu: "", entry: "Open Files...", opens: "openDialog" },
        ]
    }

    function test_choosingReachesItsTarget(data) {
        const window = createMain()
        const target = part(window, data.opens)
        verify(!target.visible)
        choose(data.menu === "" ? part(window, "stageMenu") : barMenu(window, data.menu), data.entry)
        tryCompare(target, "visible", true, 5000)
        target.close()
        tryCompare(target, "visible", false, 5000)
    }

    function test_choosingSendsActionsAndSetsThePlayer() {
        const window = createMain()
        play("multi.mkv")
        Actions.trigger("playlist.add", TestKit.fixture("tone6.mkv"))
        tryCompare(testCase, "boundCount", 2)
        pauseNow()

        const playback = barMenu(window, "Playback")
        choose(sub(playback, "Repeat"), "Repeat Playlist")
        compare(Player.repeatMode, 2)
        choose(playback, "Shuffle")
        compare(Player.shuffle, true)
        choose(playback, "Continue to Next Item")
        compare(Player.playPlaylist, false)
        choose(sub(playback, "Speed"), "1.5×")
        compare(Player.speed, 1.5)
        choose(sub(barMenu(window, "Audio"), "Visualization"), "Waveform")
        compare(Player.visualization, 2)
        choose(sub(barMenu(window, "Video"), "Aspect Ratio"), "4:3")
        compare(window.aspectOverride, 4 / 3)
        choose(sub(part(window, "stageMenu"), "Aspect Ratio"), "Stretch")
        compare(window.fillMode, VideoSink.Stretch)
        choose(barMenu(window, "View"), "Playlist")
        compare(window.playlistVisible, false)
        choose(barMenu(window, "View"), "Library Sidebar")
        compare(window.libraryVisible, true)
        choose(barMenu(window, "View"), "Performance Overlay")
        compare(Hud.visible, true)
        const subtitles = barMenu(window, "Subtitles")
        choose(subtitles, "Larger")
        tryCompare(Player, "subtitleScale", 1.1, 5000)
        choose(subtitles, "Normal Size")
        tryCompare(Player, "subtitleScale", 1.0, 5000)

        choose(barMenu(window, "View"), "Library Browser")
        compare(window.showLibrary, true)
        choose(barMenu(window, "View"), "Library Browser")
        compare(window.showLibrary, false)
        // Focus within a window needs the window to be the active one. Other test processes share the display
        // and may take the activation meanwhile: asked again, not given up at the first refusal.
        let focused = false
        for (let attempt = 0; attempt < 6 && !focused; ++attempt) {
            window.libraryVisible = false
            window.requestActivate()
            if (!waitFor(() => window.active, 5000))
                continue
            choose(barMenu(window, "View"), "Search Library...")
            compare(window.libraryVisible, true)
            focused = waitFor(() => part(window, "librarySidebar").searchFocused, 5000)
        }
        verify(focused, "the search field has the focus")

        for (const [menu, name, dialog] of [["View", "Media Information...", "infoDialog"],
                                            ["Subtitle Track", "Add Subtitle File...", "subtitleDialog"],
                                            ["File", "Save Playlist...", "savePlaylistDialog"]]) {
            // The playlist's save dialog wraps Qt Quick's own.
            const target = dialog === "savePlaylistDialog" ? findChild(part(window, dialog), "fileDialog")
                                                           : part(window, dialog)
            choose(menu === "Subtitle Track" ? sub(subtitles, menu) : barMenu(window, menu), name)
            tryCompare(target, "visible", true, 5000)
            target.close()
            tryCompare(target, "visible", false, 5000)
        }

        // Subtitles chosen by the track's entry, then the delay, then off.
        const track = Player.subtitleTracks[0]
        choose(sub(subtitles, "Subtitle Track"), track.label)
        tryCompare(Player, "currentSubtitleTrack", track.id, 10000)
        choose(subtitles, "Delay +100 ms")
        tryCompare(Player, "subtitleDelayMs", 100, 5000)
        verify(entry(subtitles, "Reset Delay").enabled)
        choose(subtitles, "Reset Delay")
        tryCompare(Player, "subtitleDelayMs", 0, 5000)
        choose(sub(subtitles, "Subtitle Track"), "Off")
        tryCompare(Player, "currentSubtitleTrack", -1, 10000)
        verify(!entry(subtitles, "Delay -100 ms").enabled)

        Player.seekUs(0)
        tryVerify(() => Player.clockUs < 500000, 10000)
        choose(playback, "Jump Forward")
        tryVerify(() => Player.clockUs > 1000000, 10000, "jumped forward")
        choose(sub(playback, "Chapters"), "Opening")
        tryCompare(Player, "currentChapter", 0, 10000)

        // Marks follow changes made elsewhere.
        Player.shuffle = false
        verify(!entry(playback, "Shuffle").marked)
        Player.repeatMode = 0
        verify(entry(sub(playback, "Repeat"), "Off").marked)
        Player.visualization = 0
        window.aspectOverride = 0
        window.fillMode = VideoSink.Fit
        Player.playPlaylist = true

        for (const [name, id] of [["Play / Pause", "playback.toggle"], ["Next", "playlist.next"],
                                  ["Previous", "playlist.previous"]]) {
            triggered.clear()
            choose(playback, name)
            compare(triggered.count, 1, name)
            compare(triggered.signalArguments[0][0], id)
        }
        tryCompare(Player, "playlistIndex", 0, 20000)
        tryCompare(testCase, "boundHasMedia", true, 20000)
        pauseNow()

        triggered.clear()
        choose(barMenu(window, "File"), "Close")
        compare(triggered.signalArguments[0][0], "playback.stop")
        tryCompare(testCase, "boundHasMedia", false, 15000)
        choose(playback, "Clear Playlist")
        compare(triggered.signalArguments[1][0], "playlist.clear")
        tryCompare(testCase, "boundCount", 0)
    }

    // Mute and Always on Top change their state and show no message of their own.
    function test_togglesShowNoMessage() {
        const window = createMain()
        play("tone6.mkv")
        const osd = part(window, "osdText")
        const before = osd.text
        osdSpy.clear()
        choose(barMenu(window, "Audio"), "Mute")
        tryCompare(Player, "muted", true)
        verify(entry(barMenu(window, "Audio"), "Mute").marked)
        choose(barMenu(window, "Video"), "Always on Top")
        compare(window.alwaysOnTop, true)
        verify(entry(part(window, "stageMenu"), "Always on Top").marked)
        choose(part(window, "stageMenu"), "Always on Top")
        compare(window.alwaysOnTop, false)
        verify(!entry(barMenu(window, "Video"), "Always on Top").marked)
        choose(barMenu(window, "Audio"), "Mute")
        tryCompare(Player, "muted", false)
        wait(300)
        compare(osdSpy.count, 0)
        compare(osd.text, before)
    }

    // Opened from the stage, chosen with the pointer: the menu closes and the track plays.
    function test_choosingTheSecondAudioTrack() {
        const window = createMain()
        play("multi.mkv")
        pauseNow()
        const tracks = Player.audioTracks
        compare(tracks.length, 2)
        verify(Player.currentAudioTrack !== tracks[1].id)
        const stageMenu = part(window, "stageMenu")
        const area = part(window, "stageMouse")
        mouseClick(area, 40, 30, Qt.RightButton)
        tryCompare(stageMenu, "opened", true)
        const tracksMenu = sub(stageMenu, "Audio Track")
        const tracksEntry = entry(stageMenu, "Audio Track")
        mouseMove(tracksEntry, tracksEntry.width / 2, tracksEntry.height / 2)
        tryCompare(tracksMenu, "opened", true, 5000)
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "MainStageMenuTracks")
        mouseClick(tracksMenu.itemAt(1))
        tryCompare(stageMenu, "visible", false, 5000)
        verify(!tracksMenu.visible)
        tryCompare(Player, "currentAudioTrack", tracks[1].id, 10000)
        tryVerify(() => tracksMenu.itemAt(1) && tracksMenu.itemAt(1).marked, 5000)
        verify(!tracksMenu.itemAt(0).marked)
    }

    // ---- the stage's menu and full screen

    function test_rightClickOpensTheStageMenuAtThePointer() {
        const window = createMain()
        const stageMenu = part(window, "stageMenu")
        const area = part(window, "stageMouse")
        const toggles = triggered.count
        mouseClick(area, 100, 80, Qt.RightButton)
        tryCompare(stageMenu, "opened", true)
        const at = stageMenu.parent.mapToItem(area, stageMenu.x, stageMenu.y)
        fuzzyCompare(at.x, 100, 2)
        fuzzyCompare(at.y, 80, 2)
        wait(Qt.styleHints.mouseDoubleClickInterval + 200)
        compare(triggered.count, toggles)
        verify(!window.fs)
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "MainStageMenu")
        stageMenu.close()
        tryCompare(stageMenu, "visible", false)

        // Playing, it offers to pause.
        play("tone6.mkv")
        compare(describe(entry(stageMenu, "Pause")), "Pause|Space||1|0")
        pauseNow()
        compare(describe(entry(stageMenu, "Play")), "Play|Space||1|0")
    }

    // However a menu of the bar closed, with the pointer left where the user's hand left it, the next click
    // on a title (the same or another) opens that title's menu.
    function test_oneClickOpensAfterAMenuCloses_data() {
        return [
            { tag: "Esc, same title", close: "escape", next: "Playback" },
            { tag: "Esc, other title", close: "escape", next: "Audio" },
            { tag: "click outside, same title", close: "outside", next: "Playback" },
            { tag: "click outside, other title", close: "outside", next: "View" },
            { tag: "chosen entry, same title", close: "entry", next: "Playback" },
            { tag: "chosen entry, other title", close: "entry", next: "Help" }
        ]
    }

    function test_oneClickOpensAfterAMenuCloses(data) {
        const window = createMain()
        const bar = window.menuBar
        const titleItem = name => {
            for (let i = 0; i < bar.count; ++i) {
                if (findChild(bar.itemAt(i), "menuTitle").text === name)
                    return bar.itemAt(i)
            }
            fail("no title " + name)
        }
        const playback = barMenu(window, "Playback")
        const title = titleItem("Playback")
        mouseMove(title)
        mouseClick(title)
        tryCompare(playback, "opened", true, 5000)

        if (data.close === "escape") {
            verify(TestKit.keyClick(window, Qt.Key_Escape))
        } else if (data.close === "outside") {
            const stage = part(window, "stageMouse")
            mouseMove(stage, 40, 40)
            mouseClick(stage, 40, 40)
        } else {
            const shuffle = entry(playback, "Shuffle")
            mouseMove(shuffle)
            mouseClick(shuffle)
            tryCompare(Player, "shuffle", true)
        }
        tryCompare(playback, "visible", false, 5000)
        // Where the user's hand goes back to the title bar, over the title to click.
        const target = titleItem(data.next)
        mouseMove(title)
        mouseMove(target)
        mouseClick(target)
        const menu = barMenu(window, data.next)
        // The click left it open (a click that closed what the hover opened would leave it shut).
        tryCompare(menu, "opened", true, 5000)
        verify(menu.visible)
        verify(TestKit.keyClick(window, Qt.Key_Escape))
        tryCompare(menu, "visible", false, 5000)
    }

    function test_fullScreen() {
        const window = createMain()
        const bar = window.menuBar
        verify(bar.visible)
        verify(bar.height > 0)
        const stageMenu = part(window, "stageMenu")
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        tryCompare(bar, "visible", false)
        compare(bar.height, 0)
        compare(describe(entry(stageMenu, "Leave Fullscreen")), "Leave Fullscreen|Esc||1|0")

        // The controls stay while the stage's menu is open, and go at the timer's next check after it closed.
        const area = part(window, "stageMouse")
        mouseClick(area, 60, 60, Qt.RightButton)
        tryCompare(stageMenu, "opened", true)
        verify(window.anyMenuOpen())
        wait(3500)
        verify(window.controlsShown)
        stageMenu.close()
        tryCompare(stageMenu, "visible", false)
        const closed = Date.now()
        tryCompare(window, "controlsShown", false, 6000)
        verify(Date.now() - closed <= 2500 + 1000, "hidden " + (Date.now() - closed) + " ms after closing")

        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        tryCompare(bar, "visible", true)
        verify(bar.height > 0)
        compare(describe(entry(stageMenu, "Fullscreen")), "Fullscreen|F11||1|0")
    }

    // Each icon the window uses renders: without the SVG plug-in they would load empty.
    function test_iconsLoad_data() {
        return ["about", "camera", "cast", "clear", "close", "convert", "eq", "exit", "folder", "fullscreen",
                "music", "next", "open", "play", "playPlaylist", "playlist", "previous", "repeat", "save",
                "settings", "shuffle", "stop", "stream"].map(name => ({ tag: name }))
    }

    Component {
        id: iconComponent
        Image {
            sourceSize: Qt.size(32, 32)
        }
    }

    function test_iconsLoad(data) {
        const image = createTemporaryObject(iconComponent, testCase,
                                            { source: "qrc:/qt/qml/Kestrune/MediaPlayer/icons/" + data.tag + ".svg" })
        tryCompare(image, "status", Image.Ready, 5000)
        verify(image.implicitWidth > 0 && image.implicitHeight > 0)
        const grabbed = grabImage(image)
        let painted = 0
        for (let x = 0; x < grabbed.width; x += 2)
            for (let y = 0; y < grabbed.height; y += 2)
                if (grabbed.pixel(x, y).a > 0)
                    ++painted
        verify(painted > 0, "nothing drawn")
    }

    // Each menu of the bar opened over a video, for looking at.
    function test_screenshots() {
        const window = createMain()
        play("multi.mkv")
        pauseNow()
        const bar = window.menuBar
        for (let i = 0; i < bar.count; ++i) {
            const title = bar.itemAt(i)
            mouseClick(title)
            tryCompare(bar.menuAt(i), "opened", true, 5000)
            TestKit.waitForFrame(window.contentItem)
            TestKit.screenshot(window, "MainMenu" + findChild(title, "menuTitle").text)
            bar.menuAt(i).close()
            tryCompare(bar.menuAt(i), "visible", false, 5000)
        }
    }
}
