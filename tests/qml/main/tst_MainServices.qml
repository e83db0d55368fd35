import QtQuick
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's other windows, the library sidebar and browser, and what the services' signals make of
// it: the real player and actions, doubles for the conversion queue, the library and casting.
TestCase {
    id: testCase
    name: "MainServices"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
    }

    function cleanup() {
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening, 15000, "the player stops")
    }

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        tryVerify(() => window.visible && window.active !== undefined)
        window.libraryVisible = true
        window.playlistVisible = false
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    // Items by the visual tree, the other windows and the dialogs by the object tree.
    function part(window, name) {
        const item = findChild(window.contentItem, name) || findChild(window, name)
        verify(item !== null, name)
        // A window made on first use is reached through its stand-in, which makes it.
        return item.sourceComponent !== undefined && item.get ? item.get() : item
    }

    // A dialog is open, a window shown.
    function isOpen(object) {
        return object.opened !== undefined ? object.opened : object.visible
    }

    function shutAll(window) {
        for (const name of ["infoDialog", "prefsDialog", "shortcutsDialog", "urlDialog", "libraryEdit",
                            "updateDialog", "fxDialog", "librarySettings", "castWindow", "convertDialog",
                            "queueWindow"]) {
            const object = part(window, name)
            object.close()
            tryVerify(() => !isOpen(object), 5000, name + " closes")
        }
    }

    function convertSources(window) {
        return part(window, "convertDialog").sources.join("\n")
    }

    // Counts the objects named name below object, windows and pop-ups included.
    function countNamed(object, name, seen) {
        seen = seen || new Set([object])
        let count = object.objectName === name ? 1 : 0
        const lists = [object.data, object.contentData, object.children]
        for (const list of lists) {
            if (!list)
                continue
            for (let i = 0; i < list.length; ++i) {
                const child = list[i]
                if (!child || seen.has(child))
                    continue
                seen.add(child)
                count += countNamed(child, name, seen)
            }
        }
        return count
    }

    function test_eachInstanceOpensThroughItsFunction_data() {
        return [
            { tag: "infoDialog", open: d => d.open() },
            { tag: "prefsDialog", open: d => d.open() },
            { tag: "shortcutsDialog", open: d => d.open() },
            { tag: "urlDialog", open: d => d.open() },
            { tag: "fxDialog", open: d => d.openDialog() },
            { tag: "libraryEdit", open: d => d.openFor([7]) },
            { tag: "librarySettings", open: d => d.openWindow() },
            { tag: "castWindow", open: d => d.openWindow() },
            { tag: "updateDialog", open: d => d.checkNow() },
            { tag: "convertDialog", open: d => d.openWith([]) },
            { tag: "queueWindow", open: d => d.openWindow() },
        ]
    }

    function test_eachInstanceOpensThroughItsFunction(data) {
        const window = createMain()
        compare(countNamed(window, data.tag), 1)
        const object = part(window, data.tag)
        verify(!isOpen(object))
        data.open(object)
        tryVerify(() => isOpen(object), 5000, data.tag + " opens")
        TestKit.waitForFrame(window.contentItem)
        shutAll(window)
    }

    // An empty list opens no editor.
    function test_libraryEditNeedsItems() {
        const window = createMain()
        const edit = part(window, "libraryEdit")
        edit.openFor([])
        wait(50)
        verify(!edit.opened)
        edit.openFor([4])
        tryCompare(edit, "opened", true)
        compare(edit.title, "Edit Info")
        edit.close()
    }

    // Discovery keeps asking exactly while the casting window is on screen.
    function test_castWindowTellsDiscovery() {
        const window = createMain()
        const cast = part(window, "castWindow")
        const before = Cast.calls.length
        cast.openWindow()
        tryCompare(cast, "visible", true)
        compare(Cast.calls.slice(before), ["setMenuOpen(true)"])
        cast.close()
        tryCompare(cast, "visible", false)
        // The window system may report the hiding a little later.
        tryVerify(() => Cast.calls.slice(before, before + 2).join() === "setMenuOpen(true),setMenuOpen(false)",
                  5000, Cast.calls.slice(before).join())
    }

    function test_preferencesOpenTheirWindows_data() {
        return [
            { tag: "library", signal: "openLibrarySettings", target: "librarySettings" },
            { tag: "casting", signal: "openCastSettings", target: "castWindow" },
            { tag: "updates", signal: "checkForUpdates", target: "updateDialog" },
        ]
    }

    function test_preferencesOpenTheirWindows(data) {
        const window = createMain()
        const prefs = part(window, "prefsDialog")
        const target = part(window, data.target)
        prefs[data.signal]()
        tryVerify(() => isOpen(target), 5000, data.target + " opens")
        shutAll(window)
    }

    function test_queuedConversions_data() {
        return [
            { tag: "two", count: 2, text: "Added 2 file(s) to the conversion queue", opens: true },
            { tag: "none", count: 0, text: "Nothing added", opens: false },
        ]
    }

    function test_queuedConversions(data) {
        const window = createMain()
        const queue = part(window, "queueWindow")
        part(window, "convertDialog").queued(data.count)
        compare(part(window, "osdText").text, data.text)
        tryCompare(part(window, "osd"), "visible", true)
        if (data.opens)
            tryCompare(queue, "visible", true)
        else
            verify(!queue.visible)
        shutAll(window)
    }

    // A failed job's adjust goes back to the conversion window with the job's source.
    function test_adjustReopensTheConversion() {
        const window = createMain()
        const convert = part(window, "convertDialog")
        part(window, "queueWindow").adjust({ input: "/v/clip.mp4", container: "mkv" })
        tryCompare(convert, "visible", true)
        compare(convertSources(window), "/v/clip.mp4")
        shutAll(window)
    }

    // The action works from anywhere: a menu, the About box, the command line.
    function test_checkForUpdatesActionOpensTheDialog() {
        const window = createMain()
        const updates = part(window, "updateDialog")
        verify(Actions.trigger("app.check_for_updates"))
        tryCompare(updates, "opened", true)
        // Any other action leaves it alone.
        updates.close()
        tryCompare(updates, "opened", false)
        Actions.trigger("playback.stop")
        wait(50)
        verify(!updates.opened)
    }

    function test_serviceMessagesShowOnScreen_data() {
        return [
            { tag: "cast", send: () => Cast.sendNotice("Connected to Living Room TV"),
              text: "Connected to Living Room TV" },
            { tag: "library", send: () => Library.sendNotice("Scanned 12 files"), text: "Scanned 12 files" },
            { tag: "converted", send: () => Converter.finish(3, true, "clip_converted.mp4"),
              text: "Converted: clip_converted.mp4" },
            { tag: "failed", send: () => Converter.finish(4, false, "Cancelled"),
              text: "Conversion failed: Cancelled" },
        ]
    }

    function test_serviceMessagesShowOnScreen(data) {
        const window = createMain()
        data.send()
        compare(part(window, "osdText").text, data.text)
        tryCompare(part(window, "osd"), "visible", true)
    }

    // A local file playing is the conversion's source; a stream or nothing gives none. It opens every time.
    function test_openConvert_data() {
        return [
            { tag: "local file", media: "file" },
            { tag: "loopback stream", media: "stream" },
            { tag: "nothing open", media: "" },
        ]
    }

    function test_openConvert(data) {
        const window = createMain()
        const convert = part(window, "convertDialog")
        let expected = ""
        if (data.media === "file") {
            Actions.trigger("playlist.add", TestKit.fixture("clip.mp4"))
            expected = TestKit.fixture("clip.mp4")
        } else if (data.media === "stream") {
            verify(TestKit.serveFile("/clip.mp4", TestKit.fixture("clip.mp4")))
            Actions.trigger("playlist.add", TestKit.url("/clip.mp4"))
        }
        if (data.media !== "")
            tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
        window.openConvert()
        tryCompare(convert, "visible", true)
        compare(convertSources(window), expected)
        // Again, from the already open window.
        window.openConvert()
        verify(convert.visible)
        compare(convertSources(window), expected)
        shutAll(window)
    }

    // The sidebar is 220 wide beside the stage, off with the stored choice and in full screen.
    function test_sidebarPlace() {
        const window = createMain()
        const sidebar = part(window, "librarySidebar")
        const stage = part(window, "stage")
        tryCompare(sidebar, "width", 220)
        verify(sidebar.visible)
        tryVerify(() => stage.mapToItem(null, 0, 0).x === 220, 5000, "the stage beside the sidebar")
        compare(stage.width, window.width - 220)

        window.libraryVisible = false
        tryCompare(stage, "width", window.width)
        verify(!sidebar.visible)
        tryVerify(() => TestKit.settingsValue("ui/libraryVisible") === false, 5000, "stored off")
        window.libraryVisible = true
        tryCompare(stage, "width", window.width - 220)
        tryVerify(() => TestKit.settingsValue("ui/libraryVisible") === true, 5000, "stored on")

        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        verify(!sidebar.visible)
        tryCompare(stage, "width", window.width)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        tryCompare(sidebar, "visible", true)
        compare(window.libraryVisible, true)
    }

    function test_sidebarSearch() {
        const window = createMain()
        const sidebar = part(window, "librarySidebar")
        const field = part(window, "librarySearch")
        sidebar.focusSearch()
        tryCompare(sidebar, "searchFocused", true)
        field.text = "blue"
        verify(sidebar.escapeSearch())
        compare(field.text, "")
        verify(sidebar.searchFocused)
        verify(!sidebar.escapeSearch())
        tryCompare(sidebar, "searchFocused", false)
    }

    // Picking a view opens the browser over the stage; "Now Playing" and a video played from it close it.
    function test_browserFollowsTheSidebar() {
        const window = createMain()
        const sidebar = part(window, "librarySidebar")
        const view = part(window, "libraryView")
        const stage = part(window, "stage")
        compare(sidebar.currentKey, "nowplaying")
        verify(!view.visible)

        sidebar.navigate({ view: "tracks", artist: "Nina" }, "Tracks", "tracks")
        verify(window.showLibrary)
        tryCompare(view, "visible", true)
        compare(part(window, "libraryTitle").text, "Tracks")
        compare(view.params, { view: "tracks", artist: "Nina" })
        compare(view.currentKey, "tracks")
        compare(sidebar.currentKey, "tracks")
        compare(view.z, 15)
        verify(view.z < part(window, "osd").z)
        compare(view.width, stage.width)
        compare(view.height, stage.height)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "main-library") !== "")

        // The stand-in's own entry, clicked as a user would.
        mouseClick(part(window, "libraryEntry_nowplaying"))
        tryCompare(view, "visible", false)
        verify(!window.showLibrary)
        compare(sidebar.currentKey, "nowplaying")

        // Back to the browser: the sidebar highlights its view again.
        window.showLibraryView(true)
        compare(sidebar.currentKey, "tracks")
        view.playedVideo()
        verify(!view.visible)
        compare(sidebar.currentKey, "nowplaying")
        compare(TestKit.settingsValue("ui/showLibrary"), undefined)
    }

    function test_browserRequestsReachTheirWindows() {
        const window = createMain()
        const view = part(window, "libraryView")
        window.showLibraryView(true)

        const edit = part(window, "libraryEdit")
        view.editRequested([1, 2])
        tryCompare(edit, "opened", true)
        compare(edit.title, "Edit 2 Items")
        compare(edit.ids, [1, 2])
        edit.close()
        tryCompare(edit, "opened", false)

        const convert = part(window, "convertDialog")
        view.convertRequested(["/m/a.flac", "http://127.0.0.1/b.mp3"])
        tryCompare(convert, "visible", true)
        compare(convertSources(window), "/m/a.flac\nhttp://127.0.0.1/b.mp3")

        const settings = part(window, "librarySettings")
        view.manageFolders()
        tryCompare(settings, "visible", true)
        settings.close()
        tryCompare(settings, "visible", false)
        part(window, "librarySidebar").manageFolders()
        tryCompare(settings, "visible", true)
        shutAll(window)
    }

    // Full screen shows the video; leaving it shows the browser again.
    function test_fullScreenHidesTheBrowser() {
        const window = createMain()
        const view = part(window, "libraryView")
        part(window, "librarySidebar").navigate({}, "Tracks", "tracks")
        tryCompare(view, "visible", true)
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        verify(!view.visible)
        verify(window.showLibrary)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
        tryCompare(view, "visible", true)
    }
}
