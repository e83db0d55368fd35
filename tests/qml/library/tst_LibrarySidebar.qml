import QtQuick
import QtTest
import Kestrune.MediaPlayer

// The sidebar against the real library on the seeded database (reopened before every test) and the
// recording player.
TestCase {
    id: testCase
    name: "LibrarySidebar"
    when: windowShown
    visible: true
    // Wider than the sidebar, as the main window is: its dialogs centre on the window.
    width: 900
    height: 780

    // The seeded library: 26 songs and 14 videos, one of each missing; one playlist, "Road Trip", of 5.
    readonly property string seededStatus: "25 songs · 13 videos"

    Component {
        id: sidebarComponent
        LibrarySidebar {
            width: 220
            height: 780
        }
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function init() {
        failOnWarning(/^(qrc|file):|\bQML\b/)
        verify(TestLibrary.reopen("seeded"))
        Player.setQueue([])
        Player.clearCalls()
    }

    function makeSidebar() {
        const sidebar = createTemporaryObject(sidebarComponent, testCase)
        verify(sidebar !== null)
        const navigate = createTemporaryObject(spyComponent, testCase, { target: sidebar, signalName: "navigate" })
        TestKit.waitForFrame(sidebar)
        return { sidebar: sidebar, navigate: navigate }
    }

    function part(sidebar, name) {
        const found = findChild(sidebar, name)
        verify(found !== null, "no " + name)
        return found
    }

    // Scrolls the list so that item (a row inside it) lies in view.
    function reveal(sidebar, item) {
        const list = part(sidebar, "sidebarList")
        const y = item.mapToItem(list.contentItem, 0, 0).y
        if (y < list.contentY || y + item.height > list.contentY + list.height)
            list.contentY = Math.max(0, Math.min(y, list.contentHeight - list.height))
        return item
    }

    // A row, in view, once the rows have their places: rows replaced by a change of the playlists go at the
    // next turn of the event loop, and until the column is laid out again a click may land on a neighbour.
    function row(sidebar, key) {
        wait(0)
        const rows = part(sidebar, "sidebarRows")
        tryVerify(() => !isPolishScheduled(rows))
        return reveal(sidebar, part(sidebar, "libraryEntry_" + key))
    }

    function menuItem(menu, text) {
        for (let i = 0; i < menu.count; ++i) {
            const item = menu.itemAt(i)
            if (item && item.text === text)
                return item
        }
        fail("no menu entry " + text)
    }

    // Opens the playlist menu on the row of playlist id and picks entry.
    function choose(sidebar, id, entry) {
        const menu = part(sidebar, "plMenu")
        mouseClick(row(sidebar, "playlist:" + id), 40, 13, Qt.RightButton)
        tryCompare(menu, "opened", true)
        mouseClick(menuItem(menu, entry))
        tryCompare(menu, "visible", false)
    }

    function playlistNamed(name) {
        return Library.playlists.find(p => p.name === name)
    }

    // Saves a grabbed image among the build tree's screenshots and checks that it was written just now (save
    // gives no result in this Qt).
    function saveShot(image, name) {
        const path = TestLibrary.screenshotDir + "/" + name + ".png"
        // Written aside and renamed, so that a run beside this one in the same build tree never reads half a picture.
        // The name ends as the picture's does: it tells the format.
        const part = TestLibrary.screenshotDir + "/" + name + ".part" + Math.floor(Math.random() * 1e9) + ".png"
        image.save(part)
        compare(TestKit.run("test -s '" + part + "' && mv -f '" + part + "' '" + path + "' && test $(( $(date +%s) - "
                            + "$(stat -c %Y '" + path + "') )) -lt 60"), 0, path)
    }

    function sameColour(actual, expected) {
        const want = Qt.color(expected)
        const near = (a, b) => Math.abs(a - b) < 3 / 255
        return near(actual.r, want.r) && near(actual.g, want.g) && near(actual.b, want.b)
    }

    // Each category row leads to its view, with either button; its count is the library's.
    function test_categoryRow_data() {
        return [
            { tag: "tracks", label: "Songs", section: "MUSIC" },
            { tag: "artists", label: "Artists" },
            { tag: "albums", label: "Albums" },
            { tag: "genres", label: "Genres" },
            { tag: "years", label: "Years" },
            { tag: "composers", label: "Composers" },
            { tag: "movies", label: "Movies", section: "VIDEO" },
            { tag: "shows", label: "TV Shows" },
            { tag: "videos", label: "All Videos" },
            { tag: "recent", label: "Recently Added", section: "SMART LISTS" },
            { tag: "played", label: "Recently Played" },
            { tag: "most", label: "Most Played" },
            { tag: "top", label: "Top Rated" },
            { tag: "folders", label: "Folders", section: "BROWSE" },
            { tag: "missing", label: "Missing Files" },
        ]
    }

    function test_categoryRow(data) {
        const t = makeSidebar()
        const entry = row(t.sidebar, data.tag)
        verify(entry.visible)
        compare(part(entry, "rowLabel").text, data.label)
        compare(part(entry, "rowCount").text, String(Library.counts[data.tag]))
        verify(Library.counts[data.tag] > 0)
        verify(sameColour(part(entry, "rowLabel").color, "#c9ccd1"), "not dimmed")
        const sections = t.sidebar.entries.filter(e => e.section !== "").map(e => e.key + ":" + e.section)
        if (data.section)
            verify(sections.indexOf(data.tag + ":" + data.section) >= 0)
        else
            verify(!sections.some(s => s.startsWith(data.tag + ":")))

        mouseClick(entry, 40, 13, Qt.LeftButton)
        compare(t.navigate.count, 1)
        compare(t.navigate.signalArguments[0][0], { view: data.tag })
        compare(t.navigate.signalArguments[0][1], data.label)
        compare(t.navigate.signalArguments[0][2], data.tag)
        mouseClick(entry, 40, 13, Qt.RightButton)
        compare(t.navigate.count, 2)
        compare(t.navigate.signalArguments[1], t.navigate.signalArguments[0])
        verify(!part(t.sidebar, "plMenu").visible)
    }

    function test_nowPlayingTakesEitherButton() {
        const t = makeSidebar()
        const spy = createTemporaryObject(spyComponent, testCase, { target: t.sidebar, signalName: "showNowPlaying" })
        const entry = row(t.sidebar, "nowplaying")
        mouseClick(entry, 40, 13, Qt.LeftButton)
        mouseClick(entry, 40, 13, Qt.RightButton)
        compare(spy.count, 2)
        compare(t.navigate.count, 0)
        verify(!part(t.sidebar, "plMenu").visible)
    }

    // Rows follow the library: a category without items is dimmed but still leads to its view, and "Missing
    // Files" is there only while something is missing.
    function test_emptyCategoriesAreDimmed() {
        compare(TestKit.run("mkdir -p '" + TestKit.scratchDir + "/empty-folder'"), 0)
        verify(TestLibrary.reopen("empty"))
        const t = makeSidebar()
        verify(!part(t.sidebar, "categories").visible)
        verify(Library.addFolder(TestKit.scratchDir + "/empty-folder"))
        tryCompare(part(t.sidebar, "categories"), "visible", true)
        verify(!part(t.sidebar, "firstRun").visible)
        verify(!part(t.sidebar, "libraryEntry_missing").visible)

        const entry = row(t.sidebar, "tracks")
        compare(part(entry, "rowCount").text, "0")
        verify(sameColour(part(entry, "rowLabel").color, "#5f646d"), "dimmed")
        // The counts follow once the folder's first scan is done.
        tryCompare(part(row(t.sidebar, "folders"), "rowCount"), "text", "1", 20000)
        verify(sameColour(part(row(t.sidebar, "folders"), "rowLabel").color, "#c9ccd1"))
        mouseClick(entry, 40, 13)
        compare(t.navigate.count, 1)
        compare(t.navigate.signalArguments[0][2], "tracks")
    }

    function test_firstRun() {
        verify(TestLibrary.reopen("empty"))
        const t = makeSidebar()
        const folders = createTemporaryObject(spyComponent, testCase, { target: t.sidebar, signalName: "manageFolders" })
        const firstRun = part(t.sidebar, "firstRun")
        verify(firstRun.visible)
        verify(!part(t.sidebar, "categories").visible)
        verify(part(t.sidebar, "libraryEntry_nowplaying").visible)
        verify(part(t.sidebar, "newPlaylist").visible)
        verify(part(t.sidebar, "playlistHint").visible)
        compare(part(t.sidebar, "libraryStatus").text, "0 songs · 0 videos")

        Library.createPlaylist("Kept", ["/m/a.mp3"])
        const kept = playlistNamed("Kept")
        tryVerify(() => findChild(t.sidebar, "libraryEntry_playlist:" + kept.id) !== null)
        verify(!part(t.sidebar, "playlistHint").visible)

        mouseClick(part(t.sidebar, "addFolder"))
        compare(folders.count, 1)
        mouseClick(part(t.sidebar, "libraryGear"))
        compare(folders.count, 2)

        TestKit.waitForFrame(t.sidebar)
        saveShot(grabImage(t.sidebar), "sidebar-first-run")
    }

    function test_searchAsYouType() {
        const t = makeSidebar()
        const field = part(t.sidebar, "librarySearch")
        const timer = part(t.sidebar, "searchTimer")
        const started = Date.now()
        field.text = "ab"
        field.text = "abc"
        compare(t.navigate.count, 0)
        tryCompare(t.navigate, "count", 1)
        verify(Date.now() - started >= 170, "fired after " + (Date.now() - started) + " ms")
        verify(!timer.running)
        compare(t.navigate.signalArguments[0][0], { view: "search", search: "abc" })
        compare(t.navigate.signalArguments[0][1], "Search: abc")
        compare(t.navigate.signalArguments[0][2], "search")

        // Typed keys: one search for the burst, the text trimmed.
        field.text = ""
        tryVerify(() => !timer.running)
        t.navigate.clear()
        t.sidebar.focusSearch()
        tryCompare(t.sidebar, "searchFocused", true)
        for (const key of " artist:Nina ")
            keyClick(key)
        tryCompare(t.navigate, "count", 1)
        verify(!timer.running)
        compare(t.navigate.signalArguments[0][0], { view: "search", search: "artist:Nina" })
    }

    // The search language's help shows on a hover over the empty field, and not over a typed search.
    function test_searchHelp() {
        const t = makeSidebar()
        const field = part(t.sidebar, "librarySearch")
        const tip = part(t.sidebar, "searchHelp")
        compare(tip.delay, 800)
        mouseMove(field, 20, 10)
        tryCompare(tip, "visible", true)
        compare(tip.text, Library.searchHelp())
        verify(tip.text.indexOf("artist:") >= 0)
        field.text = "x"
        tryCompare(tip, "visible", false)
        mouseMove(testCase, 600, 400)
    }

    // Blanks lead back to "Songs" only from the search view.
    function test_blankSearch_data() {
        return [
            { tag: "from the search view", current: "search", navigates: true },
            { tag: "from another view", current: "albums", navigates: false },
            { tag: "from now playing", current: "nowplaying", navigates: false },
        ]
    }

    function test_blankSearch(data) {
        const t = makeSidebar()
        t.sidebar.currentKey = data.current
        const timer = part(t.sidebar, "searchTimer")
        part(t.sidebar, "librarySearch").text = "   "
        verify(timer.running)
        tryVerify(() => !timer.running)
        compare(t.navigate.count, data.navigates ? 1 : 0)
        if (data.navigates) {
            compare(t.navigate.signalArguments[0][0], { view: "tracks" })
            compare(t.navigate.signalArguments[0][1], "Songs")
            compare(t.navigate.signalArguments[0][2], "tracks")
        }
    }

    function test_escapeSearch() {
        const t = makeSidebar()
        const field = part(t.sidebar, "librarySearch")
        field.text = "blue"
        t.sidebar.focusSearch()
        tryCompare(t.sidebar, "searchFocused", true)
        compare(field.selectedText, "blue")
        verify(part(t.sidebar, "searchClear").visible)
        verify(t.sidebar.escapeSearch())
        compare(field.text, "")
        verify(t.sidebar.searchFocused)
        verify(!part(t.sidebar, "searchClear").visible)
        verify(!t.sidebar.escapeSearch())
        tryCompare(t.sidebar, "searchFocused", false)

        field.text = "red"
        mouseClick(part(t.sidebar, "searchClear"))
        compare(field.text, "")
    }

    // The status line's rules in order, for anything shaped like the library.
    function test_statusText_data() {
        const status = (processed, found) => ({ processed: processed, found: found, current: "a.mp3" })
        return [
            { tag: "no library", library: null, text: "" },
            { tag: "paused", library: { scanPaused: true, scanning: true, scanStatus: status(3, 10),
                    lastError: "broken" }, text: "Scan paused · 3 of 10" },
            { tag: "walking", library: { scanning: true, scanStatus: status(0, 0) }, text: "Looking for media…" },
            { tag: "reading", library: { scanning: true, scanStatus: status(4, 10), lastError: "broken" },
                text: "Scanning 4 of 10…" },
            { tag: "error", library: { scanStatus: status(0, 0), lastError: "<b>broken</b>",
                    counts: { tracks: 1, videos: 2 } }, text: "<b>broken</b>" },
            { tag: "counts", library: { scanStatus: status(0, 0), lastError: "", counts: { tracks: 25, videos: 13 } },
                text: "25 songs · 13 videos" },
            { tag: "no counts", library: { scanStatus: status(0, 0), lastError: "", counts: {} },
                text: "0 songs · 0 videos" },
        ]
    }

    function test_statusText(data) {
        const t = makeSidebar()
        compare(t.sidebar.statusText(data.library), data.text)
    }

    function test_statusFollowsTheLibrary() {
        const t = makeSidebar()
        const status = part(t.sidebar, "libraryStatus")
        tryCompare(status, "text", seededStatus)
        verify(sameColour(status.color, "#5f646d"))

        verify(TestLibrary.reopen("absent"))
        compare(status.text, "")
        verify(!part(t.sidebar, "categories").visible)
        compare(part(part(t.sidebar, "libraryEntry_nowplaying"), "rowCount").text, "")

        verify(TestLibrary.reopen("refused"))
        verify(Library.lastError !== "")
        tryCompare(status, "text", Library.lastError)
        verify(sameColour(status.color, "#f87171"))
        compare(status.textFormat, Text.PlainText)
    }

    // A real scan of a folder of fixtures: walking, paused and resumed with the control, reading, done.
    function test_scanProgress() {
        // Enough files that the scan is still reading when the pause is clicked, however fast a pass has become.
        const count = 400
        const folder = TestKit.scratchDir + "/scanned"
        compare(TestKit.run("mkdir -p '" + folder + "' && for i in $(seq " + count + "); do cp '"
                            + TestKit.fixture("six-seconds.mp3") + "' '" + folder + "'/song$i.mp3; done && "
                            + "touch -d '2020-01-01 12:00' '" + folder + "'/*.mp3"), 0)
        verify(TestLibrary.reopen("empty"))
        const t = makeSidebar()
        const status = part(t.sidebar, "libraryStatus")
        const pause = part(t.sidebar, "scanPause")
        let texts = []
        const record = () => texts.push(status.text)
        status.textChanged.connect(record)

        verify(!pause.visible)
        verify(Library.addFolder(folder))
        tryVerify(() => texts.indexOf("Looking for media…") >= 0, 20000, "walking: " + texts)
        verify(pause.visible, "pause button while walking: " + texts)
        compare(pause.text, "❚❚")
        mouseClick(pause)
        tryVerify(() => new RegExp("^Scan paused · \\d+ of " + count + "$").test(status.text), 20000, "paused: " + texts)
        tryCompare(pause, "text", "▶")
        const processed = Library.scanStatus.processed
        verify(processed < count)
        mouseClick(pause)
        tryVerify(() => new RegExp("^Scanning \\d+ of " + count + "…$").test(status.text), 20000, "reading: " + texts)
        compare(pause.text, "❚❚")
        tryCompare(status, "text", count + " songs · 0 videos", 120000)
        verify(!pause.visible)
        status.textChanged.disconnect(record)
        const walking = texts.indexOf("Looking for media…")
        const reading = texts.findIndex(text => new RegExp("^Scanning \\d+ of " + count + "…$").test(text))
        verify(walking >= 0 && reading > walking, texts)
    }

    function test_playlistMenuPlays_data() {
        return [
            { tag: "Play", method: "playPaths", index: 0, shuffle: false, played: true },
            { tag: "Shuffle", method: "playPaths", index: -1, shuffle: true, played: true },
            { tag: "Add to Queue", method: "enqueuePaths", played: false },
        ]
    }

    function test_playlistMenuPlays(data) {
        const t = makeSidebar()
        const road = playlistNamed("Road Trip")
        compare(road.count, 5)
        compare(road.lastPlayed, 0)
        const uris = Library.playlistUris(road.id)
        compare(uris.length, 5)
        verify(uris[0].startsWith(TestLibrary.mediaRoot + "/Music/"), uris[0])

        choose(t.sidebar, road.id, data.tag)
        compare(t.navigate.count, 0)
        compare(Player.calls.length, 1)
        const call = Player.calls[0]
        compare(call.method, data.method)
        compare(call.paths, uris)
        if (data.method === "playPaths") {
            compare(call.index, data.index)
            compare(call.shuffle, data.shuffle)
        }
        compare(Player.playlistCount, 5)
        if (data.played)
            verify(playlistNamed("Road Trip").lastPlayed > 0)
        else
            compare(playlistNamed("Road Trip").lastPlayed, 0)
        // The queue's size is "Now Playing"'s count.
        compare(part(part(t.sidebar, "libraryEntry_nowplaying"), "rowCount").text, "5")
    }

    function test_playlistRowOpensItsView() {
        const t = makeSidebar()
        const road = playlistNamed("Road Trip")
        const entry = row(t.sidebar, "playlist:" + road.id)
        compare(part(entry, "rowLabel").text, "Road Trip")
        compare(part(entry, "rowCount").text, "5")
        verify(!part(t.sidebar, "playlistHint").visible)
        mouseClick(entry, 40, 13)
        compare(t.navigate.count, 1)
        compare(t.navigate.signalArguments[0][0], { view: "playlist", key: { playlist: road.id } })
        compare(t.navigate.signalArguments[0][1], "Road Trip")
        compare(t.navigate.signalArguments[0][2], "playlist:" + road.id)
        verify(!part(t.sidebar, "plMenu").visible)
    }

    function test_rename() {
        const t = makeSidebar()
        const road = playlistNamed("Road Trip")
        const dialog = part(t.sidebar, "renameDlg")
        const field = part(t.sidebar, "renameField")
        choose(t.sidebar, road.id, "Rename...")
        tryCompare(dialog, "opened", true)
        compare(dialog.title, "Rename Playlist")
        compare(dialog.width, 360)
        tryCompare(field, "activeFocus", true)
        compare(field.selectedText, "Road Trip")
        keyClick(Qt.Key_End)
        for (const key of " <i>2</i>")
            keyClick(key)
        keyClick(Qt.Key_Return)
        tryCompare(dialog, "visible", false)
        compare(Library.playlists.length, 1)
        compare(Library.playlists[0].name, "Road Trip <i>2</i>")
        const label = part(row(t.sidebar, "playlist:" + road.id), "rowLabel")
        tryCompare(label, "text", "Road Trip <i>2</i>")
        compare(label.textFormat, Text.PlainText)
    }

    // A deletion can be undone for 8 s; the next one within that time takes over the strip and its time.
    function test_deleteAndUndo() {
        const t = makeSidebar()
        const bar = part(t.sidebar, "undoBar")
        const text = part(t.sidebar, "undoText")
        const link = part(t.sidebar, "undoLink")
        verify(!bar.visible)
        compare(bar.height, 0)
        const road = playlistNamed("Road Trip")
        choose(t.sidebar, road.id, "Delete")
        compare(Library.playlists.length, 0)
        verify(bar.visible)
        tryCompare(bar, "height", 30)
        compare(text.text, "Deleted \"Road Trip\"")
        verify(link.visible)
        mouseClick(link)
        verify(!bar.visible)
        compare(Library.playlists.length, 1)
        compare(playlistNamed("Road Trip").count, 5)

        Library.createPlaylist("Second", ["/m/b.mp3"])
        const second = playlistNamed("Second")
        tryVerify(() => findChild(t.sidebar, "libraryEntry_playlist:" + second.id) !== null)
        choose(t.sidebar, road.id, "Delete")
        // Time apart, so a strip that kept the first deletion's time would go early.
        wait(2000)
        // Taken before the click, so the time measured is never longer than the strip's own.
        const secondAt = Date.now()
        choose(t.sidebar, second.id, "Delete")
        compare(text.text, "Deleted \"Second\"")
        verify(link.visible)
        tryCompare(bar, "visible", false, 20000)
        verify(Date.now() - secondAt >= 7900, "hidden after " + (Date.now() - secondAt) + " ms")
        compare(Library.playlists.length, 0)
    }

    // The export writes the playlist; a failed one says so without an "Undo" that would bring back whichever
    // playlist was deleted last.
    function test_export() {
        const t = makeSidebar()
        const road = playlistNamed("Road Trip")
        const dialog = part(t.sidebar, "exportPl")
        const bar = part(t.sidebar, "undoBar")
        compare(dialog.title, "Export Playlist")
        compare(dialog.defaultSuffix, "m3u8")

        const target = TestKit.scratchDir + "/road trip.m3u8"
        dialog.pid = road.id
        dialog.selectedFile = "file://" + target
        dialog.accepted()
        verify(!bar.visible)
        compare(TestKit.run("grep -c '^#EXTINF' '" + target + "' | grep -qx 5"), 0)

        Library.createPlaylist("Gone", ["/m/c.mp3"])
        const gone = playlistNamed("Gone")
        tryVerify(() => findChild(t.sidebar, "libraryEntry_playlist:" + gone.id) !== null)
        choose(t.sidebar, gone.id, "Delete")
        verify(part(t.sidebar, "undoLink").visible)

        dialog.selectedFile = "file://" + TestKit.scratchDir + "/no such folder/road trip.m3u8"
        dialog.accepted()
        verify(bar.visible)
        compare(part(t.sidebar, "undoText").text, "Could not write the playlist")
        verify(!part(t.sidebar, "undoLink").visible)
        compare(playlistNamed("Gone"), undefined)
    }

    function test_exportFileName_data() {
        return [
            { tag: "plain", name: "Road Trip", file: "Road Trip.m3u8" },
            { tag: "slashes", name: "AC/DC / Live", file: "AC_DC _ Live.m3u8" },
            { tag: "dots and marks", name: "Hits #1 50%?", file: "Hits #1 50%?.m3u8" },
        ]
    }

    function test_exportFileName(data) {
        const t = makeSidebar()
        compare(t.sidebar.exportFileName(data.name), data.file)
    }

    function test_saveTheQueue() {
        const t = makeSidebar()
        const button = part(t.sidebar, "newPlaylist")
        const tip = part(t.sidebar, "newPlaylistTip")
        const nowPlaying = part(t.sidebar, "libraryEntry_nowplaying")
        reveal(t.sidebar, button)
        verify(!button.enabled)
        compare(part(nowPlaying, "rowCount").text, "")
        mouseMove(button, 11, 11)
        tryCompare(tip, "visible", true)
        compare(tip.text, "The queue is empty")
        mouseClick(button, 11, 11)
        compare(Library.playlists.length, 1)

        Player.setQueue(["/m/one.mp3", "file:///m/two%20b.mp3"])
        tryCompare(button, "enabled", true)
        compare(part(nowPlaying, "rowCount").text, "2")
        mouseMove(button, 12, 12)
        tryCompare(tip, "text", "Save the current queue as a playlist")
        const before = new Date()
        mouseClick(button, 11, 11)
        const after = new Date()
        compare(Library.playlists.length, 2)
        const saved = Library.playlists.find(p => p.name.startsWith("Queue "))
        verify(saved !== undefined)
        const names = [before, after].map(d => "Queue " + Qt.formatDateTime(d, "yyyy-MM-dd HH:mm"))
        verify(names.indexOf(saved.name) >= 0, saved.name)
        compare(Library.playlistUris(saved.id), ["/m/one.mp3", "/m/two b.mp3"])
        tryVerify(() => findChild(t.sidebar, "libraryEntry_playlist:" + saved.id) !== null)
    }

    function test_currentRowLook() {
        const t = makeSidebar()
        t.sidebar.currentKey = "tracks"
        const entry = row(t.sidebar, "tracks")
        verify(sameColour(part(entry, "rowLabel").color, "#ffffff"))
        mouseMove(testCase, 600, 400)
        TestKit.waitForFrame(t.sidebar)
        const image = grabImage(t.sidebar)
        saveShot(image, "sidebar-current-row")
        const at = entry.mapToItem(t.sidebar, 0, entry.height / 2)
        verify(sameColour(image.pixel(at.x + 1, at.y), "#ff5b22"), "bar: " + image.pixel(at.x + 1, at.y))
        verify(sameColour(image.pixel(at.x + 8, at.y), "#2a1d17"), "background: " + image.pixel(at.x + 8, at.y))
        verify(sameColour(image.pixel(at.x + entry.width - 4, at.y), "#2a1d17"))
        // The rows around it are not highlighted.
        const other = part(t.sidebar, "libraryEntry_artists").mapToItem(t.sidebar, 0, 13)
        verify(sameColour(image.pixel(other.x + 8, other.y), "#121419"), "other row: " + image.pixel(other.x + 8, other.y))
        verify(sameColour(image.pixel(219, 300), "#22252c"), "right edge: " + image.pixel(219, 300))
    }
}
