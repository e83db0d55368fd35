import QtQuick
import QtTest
import Kestrune.MediaPlayer

// The library browser against the real library on the seeded database (reopened before every test) and the
// recording player.
TestCase {
    id: testCase
    name: "LibraryView"
    when: windowShown
    visible: true
    width: 900
    height: 600

    Component {
        id: viewComponent
        LibraryView {
            width: testCase.width
            height: testCase.height
        }
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    Component {
        id: sidebarComponent
        LibrarySidebar {
            width: 220
            height: 600
        }
    }

    function init() {
        verify(TestLibrary.reopen("seeded"))
        Player.setQueue([])
        Player.clearCalls()
    }

    function spy(target, signalName) {
        return createTemporaryObject(spyComponent, testCase, { target: target, signalName: signalName })
    }

    function lastCall() {
        const calls = Player.calls
        verify(calls.length > 0, "nothing was played")
        return calls[calls.length - 1]
    }

    function createView() {
        const view = createTemporaryObject(viewComponent, testCase)
        verify(view !== null)
        return view
    }

    function part(view, name) {
        const item = findChild(view, name)
        verify(item !== null, name)
        return item
    }

    readonly property int ctrl: Qt.ControlModifier
    readonly property int shift: Qt.ShiftModifier

    function test_select_data() {
        return [
            { tag: "plain", clicks: [[2, 0]], rows: [2], anchor: 2 },
            { tag: "plain replaces", clicks: [[1, 0], [4, 0]], rows: [4], anchor: 4 },
            { tag: "ctrl adds", clicks: [[1, 0], [3, ctrl]], rows: [1, 3], anchor: 3 },
            { tag: "ctrl removes", clicks: [[1, 0], [3, ctrl], [1, ctrl]], rows: [3], anchor: 1 },
            { tag: "shift with an anchor", clicks: [[2, 0], [5, shift]], rows: [2, 3, 4, 5], anchor: 2 },
            { tag: "shift upwards", clicks: [[5, 0], [2, shift]], rows: [2, 3, 4, 5], anchor: 5 },
            { tag: "shift replaces", clicks: [[0, 0], [7, ctrl], [9, shift]], rows: [7, 8, 9], anchor: 7 },
            { tag: "shift without an anchor", clicks: [[4, shift]], rows: [4], anchor: 4 },
            { tag: "ctrl+shift adds the range", clicks: [[0, 0], [5, ctrl], [7, ctrl | shift]], rows: [0, 5, 6, 7],
              anchor: 5 },
            { tag: "ctrl+shift without an anchor", clicks: [[3, ctrl | shift]], rows: [3], anchor: 3 },
            { tag: "ctrl+shift without an anchor toggles", clicks: [[3, ctrl | shift], [3, ctrl | shift]], rows: [3],
              anchor: 3 },
            { tag: "shift after a ctrl click", clicks: [[1, 0], [6, ctrl], [8, shift]], rows: [6, 7, 8], anchor: 6 }
        ]
    }

    function test_select(data) {
        const view = createView()
        for (const click of data.clicks)
            view.select(click[0], click[1])
        compare(view.selectedRows(), data.rows)
        compare(view.anchorRow, data.anchor)
        view.clearSelection()
        compare(view.selectedRows(), [])
        compare(view.anchorRow, -1)
    }

    function test_fmtDur_data() {
        return [
            { tag: "65 s", us: 65000000, text: "1:05" },
            { tag: "3725 s", us: 3725000000, text: "1:02:05" },
            { tag: "59.6 s", us: 59600000, text: "1:00" },
            { tag: "0", us: 0, text: "" },
            { tag: "negative", us: -5, text: "" },
            { tag: "undefined", us: undefined, text: "" },
            { tag: "10 h", us: 36000000000, text: "10:00:00" }
        ]
    }

    function test_fmtDur(data) {
        compare(createView().fmtDur(data.us), data.text)
    }

    function test_helpers() {
        const view = createView()
        compare(view.root_basename("C:\\Music\\Rock"), "Rock")
        compare(view.root_basename("/m/a\\b/c"), "c")
        compare(view.root_basename("plain"), "plain")
        verify(view.isVideoPath("/v/Clip.MKV"))
        verify(view.isVideoPath("/v/a.m2ts"))
        verify(!view.isVideoPath("/v/a.mp3"))
        verify(!view.isVideoPath("/v/mp4"))
    }

    // Columns are max(1, ⌊(width − 18) ÷ 176⌋); wide views have 16:9 art.
    function test_gridGeometry_data() {
        return [
            { tag: "narrow", width: 150, columns: 1 },
            { tag: "one and a half", width: 300, columns: 1 },
            { tag: "five", width: 900, columns: 5 },
            { tag: "wide window", width: 1400, columns: 7 }
        ]
    }

    function test_gridGeometry(data) {
        const view = createView()
        view.open({ view: "albums" }, "Albums")
        view.width = data.width
        compare(view.gridColumns, data.columns)
        const cell = Math.floor((data.width - 18) / data.columns)
        compare(view.cellWidth, cell)
        compare(view.cellHeight, cell + 46)
        const grid = part(view, "libraryGrid")
        compare(grid.cellWidth, cell)
        view.open({ view: "movies" }, "Movies")
        compare(view.cellHeight, Math.round((cell - 26) * 9 / 16) + 26 + 46)
    }

    // ---- On the seeded library -------------------------------------------------------------------------

    // A row's delegate once it lies whole inside its grid or list, where a click reaches it.
    function shown(container, row) {
        tryVerify(() => {
            const item = container.itemAtIndex(row)
            if (!item || isPolishScheduled(container))
                return false
            const at = item.mapToItem(container, 0, 0)
            return at.y >= 0 && at.y + item.height <= container.height
        }, 5000, "row " + row + " is shown")
        return container.itemAtIndex(row)
    }

    function rowWhere(view, test) {
        for (let r = 0; r < view.model.count; ++r) {
            if (test(view.model.get(r)))
                return r
        }
        fail("no such row")
    }

    function endsWith(list, suffixes) {
        compare(list.length, suffixes.length, JSON.stringify(list))
        for (let i = 0; i < list.length; ++i)
            verify(String(list[i]).endsWith(suffixes[i]), list[i] + " ends with " + suffixes[i])
    }

    function test_summaryAndDrillDown() {
        const view = createView()
        const summary = part(view, "librarySummary")
        view.open({ view: "tracks", key: { artist: "DJ Kite" } }, "DJ Kite")
        compare(summary.text, "1 item")

        view.open({ view: "shows" }, "TV Shows")
        view.activate(rowWhere(view, r => r.name === "Deep Sea"))
        compare(view.title, "Deep Sea")
        compare(view.params.view, "seasons")
        view.activate(rowWhere(view, r => r.name === 1))
        compare(view.title, "Deep Sea – Season 1")
        compare(view.params.view, "episodes")
        compare(view.total, 3)
        view.selectAll()
        compare(summary.text, "TV Shows › Deep Sea  ·  3 items  ·  3 selected")
        verify(part(view, "libraryBack").visible)

        view.back()
        compare(view.title, "Deep Sea")
        compare(view.params.view, "seasons")
        compare(view.params.key.show, "Deep Sea")
        compare(view.selectedRows(), [])
        view.activate(rowWhere(view, r => r.name === 2))
        compare(view.title, "Deep Sea – Season 2")
        compare(view.total, 2)
        view.back()
        view.back()
        compare(view.title, "TV Shows")
        compare(view.stack.length, 0)
        verify(!part(view, "libraryBack").visible)
        view.back()
        compare(view.title, "TV Shows")

        // A show without seasons has one season group without a name; its episodes are still found.
        view.activate(rowWhere(view, r => r.name === "Kitchen Diaries"))
        compare(view.total, 1)
        view.activate(0)
        compare(view.title, "Specials")
        compare(view.total, 3)
    }

    function test_rowsResolveToPathsAndIds() {
        const view = createView()
        view.open({ view: "albums" }, "Albums")
        const tapes = rowWhere(view, r => r.name === "Old Tapes")
        endsWith(view.urisForRows([tapes]), ["01 River Song.wav", "02 Porch Light.wav"])
        compare(view.idsForRows([tapes]).length, 2)

        view.open({ view: "shows" }, "TV Shows")
        const sea = rowWhere(view, r => r.name === "Deep Sea")
        endsWith(view.urisForRows([sea]), ["S01E01.mkv", "S01E02.mkv", "S01E03.mkv", "S02E01.mkv", "S02E02.mkv"])
        compare(view.idsForRows([sea]).length, 5)

        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        const first = view.model.get(0)
        compare(view.urisForRows([1, 0]), [view.model.get(1).uri, first.uri])
        compare(view.idsForRows([0]), [first.id])

        view.open({ view: "folders" }, "Folders")
        view.activate(rowWhere(view, r => String(r.path).endsWith("Music")))
        compare(view.title, "Music")
        const singles = rowWhere(view, r => r.type === "folder" && r.name === "Singles")
        compare(view.urisForRows([singles]).length, 4)
        compare(view.idsForRows([singles]), [])
    }

    function test_sortChooser() {
        const view = createView()
        const chooser = part(view, "librarySort")
        view.open({ view: "tracks" }, "Songs")
        verify(chooser.visible)
        view.select(2, 0)
        chooser.currentIndex = 4
        chooser.activated(4)
        compare(view.sortKey, "year")
        compare(view.sortDesc, true)
        compare(view.model.params.sort, "year")
        compare(view.model.params.desc, true)
        compare(view.selectedRows(), [])
        compare(chooser.currentIndex, 4)
        compare(view.model.get(0).year, 2023)

        view.open({ view: "movies" }, "Movies")
        compare(chooser.currentIndex, 0)
        compare(view.sortKey, "")
        compare(view.model.params.sort, undefined)
        chooser.currentIndex = 1
        chooser.activated(1)
        view.drill({ view: "tracks" }, "Songs")
        compare(chooser.currentIndex, 0)
        view.open({ view: "albums" }, "Albums")
        verify(!chooser.visible)
    }

    // Every edit reloads the model: the selection stays on the same items wherever they moved.
    function test_selectionFollowsItemsAcrossReloads() {
        const view = createView()
        view.open({ view: "tracks", key: { album: "Fjord" } }, "Fjord")
        Library.setRating(view.idsForRows([0, 1, 2]), 3)

        view.open({ view: "top" }, "Top Rated")
        const total = view.total
        verify(total >= 6, total)
        view.select(0, 0)
        view.select(2, shift)
        const chosen = view.idsForRows(view.selectedRows())
        const anchorId = view.model.get(0).id
        compare(chosen.length, 3)
        Library.setRating(chosen, 1)
        // Rated lower than the three-star items, they now sit further down.
        verify(view.selectedRows()[0] >= 3, view.selectedRows())
        compare(view.idsForRows(view.selectedRows()).sort(), chosen.slice().sort())
        compare(view.model.get(view.anchorRow).id, anchorId)

        // A removed item leaves the selection; the anchor goes with it.
        Library.removeSources([anchorId])
        compare(view.total, total - 1)
        compare(view.idsForRows(view.selectedRows()).length, 2)
        verify(view.idsForRows(view.selectedRows()).indexOf(anchorId) < 0)
        compare(view.anchorRow, -1)
    }

    function test_gridAndList() {
        const view = createView()
        const grid = part(view, "libraryGrid")
        const list = part(view, "libraryList")
        const layout = part(view, "libraryLayout")
        view.open({ view: "albums" }, "Albums")
        verify(grid.visible && !list.visible)
        compare(grid.model, view.model)
        compare(list.model, null)
        compare(layout.text, "List")
        mouseClick(layout)
        verify(!grid.visible && list.visible)
        compare(grid.model, null)
        compare(layout.text, "Grid")
        view.open({ view: "movies" }, "Movies")
        verify(list.visible)
        view.open({ view: "tracks" }, "Songs")
        verify(!layout.visible)
        verify(list.visible)
    }

    function test_emptyStates() {
        const view = createView()
        const headline = part(view, "libraryEmptyHeadline")
        const hint = part(view, "libraryEmptyHint")
        view.open({ view: "search", search: "<b>zzq</b>" }, "Search")
        compare(view.total, 0)
        verify(part(view, "libraryEmpty").visible)
        compare(headline.text, "Nothing matches \"<b>zzq</b>\"")
        compare(headline.textFormat, Text.PlainText)
        verify(hint.text.startsWith("Try fewer words"))
        verify(!part(view, "libraryAddFolder").visible)
        verify(!part(view, "libraryPlay").enabled)
        TestKit.waitForFrame(view)
        saveShot(grabImage(view), "library-view-empty-search")

        view.open({ view: "played" }, "Recently Played")
        if (view.total === 0)
            compare(hint.text, "Play something from the library and it shows up here.")
        view.open({ view: "tracks", key: { artist: "Nobody" } }, "Nobody")
        compare(headline.text, "Nothing here yet")
        verify(!hint.visible)

        // The error strip shows a message under the header and hides it again after its time.
        const strip = part(view, "libraryError")
        verify(!strip.visible)
        view.errorText.show("<i>a.mp3</i> could not be moved")
        verify(strip.visible)
        tryCompare(strip, "height", 26)
        compare(strip.message, "<i>a.mp3</i> could not be moved")
        tryCompare(strip, "visible", false, 15000)
    }

    function test_keys() {
        const view = createView()
        view.open({ view: "tracks" }, "Songs")
        const sidebar = createTemporaryObject(sidebarComponent, testCase, { x: testCase.width - 220 })
        const field = part(sidebar, "librarySearch")
        sidebar.focusSearch()
        tryVerify(() => sidebar.searchFocused)
        field.text = "Aurora"
        keyClick(Qt.Key_A, Qt.ControlModifier)
        compare(field.selectedText, "Aurora")
        compare(view.selectedRows(), [])

        const list = part(view, "libraryList")
        mouseClick(shown(list, 1), 10, 10)
        verify(list.activeFocus)
        keyClick(Qt.Key_A, Qt.ControlModifier)
        compare(view.selectedRows().length, view.model.count)

        // Return plays several rows as they stand, the browser staying; one row is activated.
        const videos = spy(view, "playedVideo")
        view.open({ view: "movies" }, "Movies")
        mouseClick(part(view, "libraryLayout"))
        mouseClick(shown(list, 2), 10, 10)
        mouseClick(shown(list, 0), 10, 10, Qt.LeftButton, Qt.ControlModifier)
        keyClick(Qt.Key_Return)
        compare(lastCall().paths, view.urisForRows([0, 2]))
        compare(lastCall().index, 0)
        compare(videos.count, 0)
        mouseClick(shown(list, 1), 10, 10)
        keyClick(Qt.Key_Return)
        compare(lastCall().paths[lastCall().index], view.model.get(1).uri)
        compare(videos.count, 1)

        // Alt+Left goes one level up.
        view.open({ view: "albums" }, "Albums")
        view.activate(0)
        compare(view.stack.length, 1)
        keyClick(Qt.Key_Left, Qt.AltModifier)
        compare(view.title, "Albums")
        compare(view.stack.length, 0)
    }

    function test_playFrom() {
        const view = createView()
        const videos = spy(view, "playedVideo")
        const chooser = part(view, "librarySort")
        const list = part(view, "libraryList")

        // A double click in a view sorted by year starts at that item within the whole query in that order.
        view.open({ view: "tracks" }, "Songs")
        chooser.currentIndex = 4
        chooser.activated(4)
        const row = rowWhere(view, r => r.year === 2020)
        mouseDoubleClickSequence(shown(list, row), 10, 10)
        let call = lastCall()
        compare(call.method, "playPaths")
        compare(call.paths, Library.urisFor(Library.idsForQuery({ view: "tracks", sort: "year", desc: true })))
        compare(call.paths[call.index], view.model.get(row).uri)
        verify(call.index > 0)
        compare(call.shuffle, false)
        compare(videos.count, 0)

        mouseClick(part(view, "libraryShuffle"))
        call = lastCall()
        compare(call.index, -1)
        compare(call.shuffle, true)
        compare(call.paths.length, view.total)

        // A video at the start hides the browser.
        view.open({ view: "movies" }, "Movies")
        const grid = part(view, "libraryGrid")
        const glass = rowWhere(view, r => r.title === "Glass City")
        mouseDoubleClickSequence(shown(grid, glass), 30, 30)
        call = lastCall()
        verify(call.paths[call.index].endsWith("Glass City (1999).mkv"), call.paths[call.index])
        compare(videos.count, 1)

        // A group view plays its loaded groups, expanded in row order; a show expands to its episodes.
        view.open({ view: "shows" }, "TV Shows")
        mouseClick(part(view, "libraryPlay"))
        call = lastCall()
        compare(call.paths.length, 8)
        compare(call.index, 0)
        compare(call.paths, view.urisForRows([0, 1]))
        compare(videos.count, 2)

        // The playlist plays as it stands, from the row, and counts as played.
        const before = Library.playlists.find(p => p.id === 1).lastPlayed
        view.open({ view: "playlist", key: { playlist: 1 } }, "Road Trip")
        mouseClick(part(view, "libraryPlay"))
        call = lastCall()
        compare(call.paths, Library.playlistUris(1))
        compare(call.index, 0)
        verify(Library.playlists.find(p => p.id === 1).lastPlayed > before)
        view.playFrom(3, false)
        compare(lastCall().index, 3)
        verify(lastCall().paths[3].endsWith("not in library.mp3"))

        // Rows that resolve to nothing play nothing.
        const calls = Player.calls.length
        view.open({ view: "tracks", key: { artist: "Nobody" } }, "Nobody")
        view.playFrom(-1, false)
        compare(Player.calls.length, calls)
    }

    // The list marks the playing row; a title guessed from the file name says so.
    function test_rowTexts() {
        const view = createView()
        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        Player.setQueue([view.model.get(1).uri])
        const list = part(view, "libraryList")
        compare(shown(list, 1).playing, true)
        compare(list.itemAtIndex(0).playing, false)
        compare(findChild(list.itemAtIndex(1), "rowTitle").text, "▶ Porch Light")
        compare(findChild(list.itemAtIndex(1), "rowTrack").text, "2")

        view.open({ view: "search", search: "demo" }, "Search")
        compare(findChild(shown(list, 0), "rowSubtitle").text, "guessed from the file name")
        verify(!findChild(list.itemAtIndex(0), "rowTrack").visible)
    }

    function test_withoutFolders_data() {
        return [{ tag: "absent", state: "absent" }, { tag: "empty", state: "empty" }]
    }

    function test_withoutFolders(data) {
        verify(TestLibrary.reopen(data.state))
        const view = createView()
        const folders = spy(view, "manageFolders")
        compare(part(view, "librarySummary").text, "0 items")
        compare(part(view, "libraryEmptyHeadline").text, "Your library is empty")
        compare(part(view, "libraryEmptyHint").text, "Add the folders that hold your music and videos.")
        mouseClick(part(view, "libraryAddFolder"))
        compare(folders.count, 1)
        view.playFrom(-1, false)
        compare(Player.calls.length, 0)
    }

    function test_mouseOnRows() {
        const view = createView()
        view.open({ view: "tracks" }, "Songs")
        const list = part(view, "libraryList")
        mouseClick(shown(list, 1), 10, 10)
        mouseClick(shown(list, 4), 10, 10, Qt.LeftButton, Qt.ShiftModifier)
        compare(view.selectedRows(), [1, 2, 3, 4])
        // A right click on a selected row keeps the selection; on another row it selects that row alone.
        // The menu it opens lies over the rows below, so it is closed before the next click.
        mouseClick(shown(list, 3), 10, 10, Qt.RightButton)
        compare(view.selectedRows(), [1, 2, 3, 4])
        tryCompare(view.rowMenu, "opened", true)
        compare(view.rowMenu.rows, [1, 2, 3, 4])
        keyClick(Qt.Key_Escape)
        tryCompare(view.rowMenu, "visible", false)
        mouseClick(shown(list, 6), 10, 10, Qt.RightButton)
        compare(view.selectedRows(), [6])
        tryCompare(view.rowMenu, "opened", true)
        compare(view.rowMenu.rows, [6])
        keyClick(Qt.Key_Escape)
        tryCompare(view.rowMenu, "visible", false)
        // Empty space under the rows clears it.
        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        view.select(0, 0)
        TestKit.waitForFrame(view)
        mouseClick(view, view.width / 2, view.height - 20)
        compare(view.selectedRows(), [])
    }

    readonly property string dataDir: TestLibrary.databasePath.substring(0, TestLibrary.databasePath.lastIndexOf("/"))

    // Saves a grabbed image among the build tree's screenshots and checks that it was written just now.
    function saveShot(image, name) {
        const path = TestLibrary.screenshotDir + "/" + name + ".png"
        // Written aside and renamed, so that a run beside this one in the same build tree never reads half a picture.
        // The name ends as the picture's does: it tells the format.
        const part = TestLibrary.screenshotDir + "/" + name + ".part" + Math.floor(Math.random() * 1e9) + ".png"
        image.save(part)
        compare(TestKit.run("test -s '" + part + "' && mv -f '" + part + "' '" + path + "' && test $(( $(date +%s) - "
                            + "$(stat -c %Y '" + path + "') )) -lt 60"), 0, path)
    }

    function sh(commandLine) {
        compare(TestKit.run(commandLine), 0, commandLine)
    }

    // A pixel of what the view shows, within a small tolerance of a colour.
    function verifyColour(image, point, expected, what) {
        const c = image.pixel(Math.round(point.x), Math.round(point.y))
        const e = Qt.color(expected)
        verify(Math.abs(c.r - e.r) < 0.03 && Math.abs(c.g - e.g) < 0.03 && Math.abs(c.b - e.b) < 0.03,
               what + ": " + c + " is not " + expected)
    }

    function test_zz_screenshots() {
        const view = createView()
        sh("mkdir -p '" + dataDir + "/covers' && ffmpeg -hide_banner -loglevel error -y -f lavfi "
           + "-i color=c=0x3060d0:s=400x400 -frames:v 1 '" + dataDir + "/covers/cover-northern-lights.jpg'")

        // Albums as tiles: the album with a cover shows it, the others their initial on the art's colour.
        view.open({ view: "albums" }, "Albums")
        const grid = part(view, "libraryGrid")
        const lights = rowWhere(view, r => r.name === "Northern Lights")
        const plain = rowWhere(view, r => r.name === "Fjord")
        const artOf = row => grid.itemAtIndex(row) ? findChild(grid.itemAtIndex(row), "libraryTileArt") : null
        tryVerify(() => artOf(lights) !== null && artOf(lights).status === Image.Ready && artOf(plain) !== null,
                  20000, "the cover is shown")
        view.select(lights, 0)
        TestKit.waitForFrame(view)
        const art = artOf(lights)
        const bare = artOf(plain).parent
        let shot = grabImage(view)
        verifyColour(shot, art.mapToItem(view, art.width / 2, art.height / 2), "#3060d0", "cover")
        verifyColour(shot, bare.mapToItem(view, 4, bare.height - 4), "#1c1f26", "art without a cover")
        verifyColour(shot, art.parent.mapToItem(view, art.parent.width / 2, art.parent.height + 40), "#2a1d17",
                     "selected tile")
        saveShot(shot, "library-view-albums")

        // The list with a selected row, striped rows around it.
        view.open({ view: "tracks" }, "Songs")
        const list = part(view, "libraryList")
        shown(list, 3)
        view.select(1, 0)
        TestKit.waitForFrame(view)
        shot = grabImage(view)
        verifyColour(shot, list.itemAtIndex(1).mapToItem(view, 4, 20), "#2a1d17", "selected row")
        verifyColour(shot, list.itemAtIndex(3).mapToItem(view, 4, 20), "#121419", "odd row")
        verifyColour(shot, list.itemAtIndex(2).mapToItem(view, 4, 20), "#101216", "even row")
        saveShot(shot, "library-view-list")

        // Missing files are drawn at 45 %: the selected colour over the view's own.
        view.open({ view: "missing" }, "Missing Files")
        compare(view.total, 2)
        compare(shown(list, 0).opacity, 0.45)
        view.select(0, 0)
        TestKit.waitForFrame(view)
        shot = grabImage(view)
        verifyColour(shot, list.itemAtIndex(0).mapToItem(view, 4, 20),
                     Qt.rgba((0x2a * 0.45 + 0x10 * 0.55) / 255, (0x1d * 0.45 + 0x12 * 0.55) / 255,
                             (0x17 * 0.45 + 0x16 * 0.55) / 255, 1), "missing selected row")
        saveShot(shot, "library-view-missing")
    }
}
