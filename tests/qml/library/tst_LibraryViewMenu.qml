import QtQuick
import QtQuick.Controls
import QtTest
import Kestrune.MediaPlayer

// The browser's context menu, its playlist and removal dialogs, against the real library on the seeded
// database (reopened before every test) and the recording player. Opened URLs are caught by the bench, and
// the trash lies in this process's own data folder.
TestCase {
    id: testCase
    name: "LibraryViewMenu"
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

    function init() {
        verify(TestLibrary.reopen("seeded"))
        Player.setQueue([])
        Player.clearCalls()
        TestKit.clearOpenedUrls()
    }

    function spy(target, signalName) {
        return createTemporaryObject(spyComponent, testCase, { target: target, signalName: signalName })
    }

    function createView() {
        const view = createTemporaryObject(viewComponent, testCase)
        verify(view !== null)
        return view
    }

    function part(item, name) {
        const found = findChild(item, name)
        verify(found !== null, name)
        return found
    }

    function rowWhere(view, test) {
        for (let r = 0; r < view.model.count; ++r) {
            if (test(view.model.get(r)))
                return r
        }
        fail("no such row")
    }

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

    function container(view) {
        return part(view, view.showGrid ? "libraryGrid" : "libraryList")
    }

    function entry(menu, text) {
        for (let i = 0; i < menu.count; ++i) {
            const item = menu.itemAt(i)
            if (item && item.text === text)
                return item
        }
        fail("no menu entry " + text)
    }

    // Selects rows (the first alone, the others with Ctrl) and right-clicks the last of them.
    function openMenu(view, rows) {
        const menu = view.rowMenu
        const list = container(view)
        for (let i = 0; i < rows.length; ++i)
            mouseClick(shown(list, rows[i]), 10, 10, Qt.LeftButton, i === 0 ? Qt.NoModifier : Qt.ControlModifier)
        mouseClick(shown(list, rows[rows.length - 1]), 10, 10, Qt.RightButton)
        tryCompare(menu, "opened", true)
        compare(menu.rows, rows.slice().sort((a, b) => a - b))
        return menu
    }

    function choose(view, text) {
        const menu = view.rowMenu
        mouseClick(entry(menu, text))
        tryCompare(menu, "visible", false)
    }

    // Opens a submenu of the open context menu and picks one of its entries.
    function chooseIn(view, submenuName, text) {
        const submenu = part(view, submenuName)
        mouseClick(entry(view.rowMenu, submenu.title))
        tryCompare(submenu, "opened", true)
        mouseClick(entry(submenu, text))
        tryCompare(view.rowMenu, "visible", false)
    }

    function acceptDialog(dialog) {
        tryCompare(dialog, "opened", true)
        mouseClick(dialog.standardButton(Dialog.Ok))
        tryCompare(dialog, "visible", false)
    }

    function sh(commandLine) {
        compare(TestKit.run(commandLine), 0, commandLine)
    }

    function quote(path) {
        return "'" + String(path).replace(/'/g, "'\\''") + "'"
    }

    function fileExists(path) {
        return TestKit.run("test -e " + quote(path)) === 0
    }

    function baseName(path) {
        return String(path).substring(String(path).lastIndexOf("/") + 1)
    }

    readonly property string trashFiles: TestKit.scratchDir + "/data/Trash/files"

    function test_enabledStates_data() {
        return [
            { tag: "one item", params: { view: "tracks" }, rows: [2], folder: true, playlist: false },
            { tag: "two items", params: { view: "tracks" }, rows: [1, 2], folder: false, playlist: false },
            { tag: "one group", params: { view: "albums" }, rows: [0], folder: false, playlist: false },
            { tag: "one folder", params: { view: "folders" }, rows: [0], folder: true, playlist: false },
            { tag: "two folders", params: { view: "folders" }, rows: [0, 1], folder: false, playlist: false },
            { tag: "playlist", params: { view: "playlist", key: { playlist: 1 } }, rows: [0, 2], folder: false,
              playlist: true }
        ]
    }

    function test_enabledStates(data) {
        const view = createView()
        view.open(data.params, "View")
        const menu = openMenu(view, data.rows)
        compare(entry(menu, "Show in Folder").enabled, data.folder)
        compare(entry(menu, "Remove from Playlist").enabled, data.playlist)
        compare(entry(menu, "Rating").enabled, true)
        for (const always of ["Play", "Play Next", "Add to Queue", "Add to Playlist", "Edit Info...", "Convert...",
                              "Remove from Library", "Delete File(s)..."])
            verify(entry(menu, always).enabled, always)
        menu.close()
        tryCompare(menu, "visible", false)

        // With no rows there is nothing to rate.
        view.popupRowMenu([], view, 10, 10)
        tryCompare(menu, "opened", true)
        compare(entry(menu, "Rating").enabled, false)
        compare(entry(menu, "Show in Folder").enabled, false)
        menu.close()
    }

    // The mark follows round(rating ÷ 20) of one item only; a missing rating counts as none.
    function test_ratingMarks_data() {
        return [
            { tag: "one item rated 60", params: { view: "tracks", key: { album: "Fjord" } }, rows: [1], rate: 3,
              marked: 3 },
            { tag: "one unrated item", params: { view: "tracks", key: { album: "Fjord" } }, rows: [1], rate: -1,
              marked: 0 },
            { tag: "two rated items", params: { view: "tracks", key: { album: "Fjord" } }, rows: [0, 1], rate: 3,
              marked: -1 },
            { tag: "a group", params: { view: "albums" }, rows: [0], rate: 3, marked: -1 }
        ]
    }

    function test_ratingMarks(data) {
        const view = createView()
        view.open(data.params, "View")
        if (data.rate >= 0)
            Library.setRating(view.idsForRows([0, 1]), data.rate)
        const menu = openMenu(view, data.rows)
        const rateMenu = part(view, "rateMenu")
        mouseClick(entry(menu, "Rating"))
        tryCompare(rateMenu, "opened", true)
        const texts = ["No rating", "★☆☆☆☆", "★★☆☆☆", "★★★☆☆", "★★★★☆", "★★★★★"]
        compare(rateMenu.count, 6)
        for (let n = 0; n < 6; ++n) {
            compare(rateMenu.itemAt(n).text, texts[n])
            compare(rateMenu.itemAt(n).marked, n === data.marked, texts[n])
        }
        menu.close()
        tryCompare(rateMenu, "visible", false)
    }

    // Rating a group rates every item behind it; "No rating" clears them all.
    function test_ratingGroups() {
        const view = createView()
        view.open({ view: "albums" }, "Albums")
        const lights = rowWhere(view, r => r.name === "Northern Lights")
        const tapes = rowWhere(view, r => r.name === "Old Tapes")
        const ids = view.idsForRows([lights, tapes])
        compare(ids.length, 7)
        verify(ids.some(id => Library.item(id).rating === 100))

        openMenu(view, [lights, tapes])
        chooseIn(view, "rateMenu", "★★★★☆")
        for (const id of ids)
            compare(Library.item(id).rating, 80, Library.item(id).title)

        openMenu(view, [lights, tapes])
        chooseIn(view, "rateMenu", "No rating")
        for (const id of ids)
            compare(Library.item(id).rating, 0, Library.item(id).title)
    }

    // The append waits for the next turn, after the entry's trigger; the rebuilt entries warn about nothing.
    function test_addToExistingPlaylist() {
        failOnWarning(/destroy|TypeError|ReferenceError|Cannot read/)
        Library.createPlaylist("R&B <b>mix</b>", [])
        const view = createView()
        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        const paths = view.urisForRows([0, 1])
        const road = Library.playlists.find(p => p.name === "Road Trip")
        const before = Library.playlistUris(road.id)

        const menu = openMenu(view, [0, 1])
        const addPlMenu = part(view, "addPlMenu")
        mouseClick(entry(menu, "Add to Playlist"))
        tryCompare(addPlMenu, "opened", true)
        compare(addPlMenu.count, 4)
        const names = []
        for (let i = 2; i < addPlMenu.count; ++i)
            names.push(findChild(addPlMenu.itemAt(i), "entryName").text)
        compare(names, ["R&B <b>mix</b>", "Road Trip"])
        compare(findChild(addPlMenu.itemAt(2), "entryName").textFormat, Text.PlainText)

        mouseClick(entry(addPlMenu, "Road Trip"))
        // Still unchanged while the trigger runs; appended once on the next turn.
        compare(Library.playlistUris(road.id), before)
        tryCompare(menu, "visible", false)
        tryVerify(() => Library.playlistUris(road.id).length === before.length + 2)
        wait(50)
        compare(Library.playlistUris(road.id), before.concat(paths))

        // The rebuilt entries lead to the right playlists again.
        openMenu(view, [1])
        chooseIn(view, "addPlMenu", "R&&B <b>mix</b>")
        const mix = Library.playlists.find(p => p.name === "R&B <b>mix</b>")
        tryVerify(() => Library.playlists.find(p => p.name === "R&B <b>mix</b>").count === 1)
        compare(Library.playlistUris(mix.id), [paths[1]])
        compare(Library.playlistUris(road.id).length, before.length + 2)
        compare(addPlMenu.count, 4)
    }

    function test_newPlaylist() {
        const view = createView()
        const dialog = part(view, "newPlaylistDialog")
        const field = part(view, "newPlaylistName")
        view.open({ view: "albums" }, "Albums")
        const tapes = rowWhere(view, r => r.name === "Old Tapes")
        const paths = view.urisForRows([tapes])
        compare(paths.length, 2)

        openMenu(view, [tapes])
        chooseIn(view, "addPlMenu", "New Playlist...")
        tryCompare(dialog, "opened", true)
        compare(dialog.title, "New Playlist")
        compare(dialog.width, 360)
        compare(field.placeholderText, "Playlist name")
        tryCompare(field, "activeFocus", true)
        keyClick(Qt.Key_Space)
        keyClick(Qt.Key_Space)
        keyClick(Qt.Key_Return)
        tryCompare(dialog, "visible", false)
        const made = Library.playlists.find(p => p.name === "New Playlist")
        verify(made !== undefined, JSON.stringify(Library.playlists))
        compare(Library.playlistUris(made.id), paths)

        // The field starts empty again; Cancel makes nothing.
        openMenu(view, [tapes])
        chooseIn(view, "addPlMenu", "New Playlist...")
        tryCompare(dialog, "opened", true)
        compare(field.text, "")
        keyClick(Qt.Key_X)
        dialog.reject()
        tryCompare(dialog, "visible", false)
        compare(Library.playlists.length, 2)
    }

    function test_removeFromLibrary_data() {
        return [
            { tag: "one", rows: [1], text: "Remove 1 item(s) from the library? " },
            { tag: "three", rows: [0, 2, 3], text: "Remove 3 item(s) from the library? " }
        ]
    }

    function test_removeFromLibrary(data) {
        const view = createView()
        const dialog = part(view, "removeDialog")
        view.open({ view: "tracks", key: { album: "Fjord" } }, "Fjord")
        const ids = view.idsForRows(data.rows)
        openMenu(view, data.rows)
        choose(view, "Remove from Library")
        tryCompare(dialog, "opened", true)
        compare(dialog.title, "Remove from Library")
        compare(dialog.width, 420)
        compare(part(view, "removeText").text, data.text + "The files stay on disk. Items still inside a library "
                + "folder come back at the next scan unless the folder is excluded.")
        // Cancel changes nothing.
        dialog.reject()
        tryCompare(dialog, "visible", false)
        compare(Library.urisFor(ids).length, ids.length)

        openMenu(view, data.rows)
        choose(view, "Remove from Library")
        acceptDialog(dialog)
        compare(Library.urisFor(ids), [])
        tryCompare(view, "total", 4 - data.rows.length)
        compare(view.selectedRows(), [])
    }

    // Delete in the list asks in remove mode, for the selection.
    function test_deleteKeyAsksToRemove() {
        const view = createView()
        const dialog = part(view, "removeDialog")
        view.open({ view: "tracks", key: { album: "Fjord" } }, "Fjord")
        const list = part(view, "libraryList")
        mouseClick(shown(list, 0), 10, 10)
        mouseClick(shown(list, 1), 10, 10, Qt.LeftButton, Qt.ControlModifier)
        const ids = view.idsForRows([0, 1])
        keyClick(Qt.Key_Delete)
        tryCompare(dialog, "opened", true)
        compare(dialog.deleting, false)
        compare(dialog.ids, ids)
        verify(part(view, "removeText").text.startsWith("Remove 2 item(s) from the library?"))
        acceptDialog(dialog)
        compare(Library.urisFor(ids), [])
        tryCompare(view, "total", 2)
    }

    // A reload that reorders the view while the menu is open leaves the menu on the rows it opened on; their
    // files go to the trash and their rows leave the library.
    function test_deleteFilesAfterAReorder() {
        const view = createView()
        const dialog = part(view, "removeDialog")
        const strip = part(view, "libraryError")
        view.open({ view: "tracks", key: { album: "Fjord" } }, "Fjord")
        const fjord = view.idsForRows([0, 1, 2, 3])
        Library.setRating(fjord, 2)
        view.open({ view: "top" }, "Top Rated")
        const total = view.total
        // The three best rated, each made a real file.
        const rows = [0, 1, 2]
        const ids = view.idsForRows(rows)
        const paths = view.urisForRows(rows)
        compare(ids.length, 3)
        for (const path of paths)
            sh("mkdir -p " + quote(path.substring(0, path.lastIndexOf("/"))) + " && echo x > " + quote(path))

        const menu = openMenu(view, rows)
        Library.setRating(fjord, 5)
        tryVerify(() => JSON.stringify(view.idsForRows(rows)) !== JSON.stringify(ids), 5000, "the view is reordered")
        verify(menu.opened)
        choose(view, "Delete File(s)...")
        tryCompare(dialog, "opened", true)
        compare(dialog.title, "Delete Files")
        compare(part(view, "removeText").text, "Move 3 file(s) to the Trash and remove them from the library?")
        compare(dialog.ids, ids)
        acceptDialog(dialog)

        compare(Library.urisFor(ids), [])
        compare(Library.urisFor(fjord).length, 4)
        tryCompare(view, "total", total - 3)
        compare(view.selectedRows(), [])
        for (const path of paths) {
            verify(!fileExists(path), path)
            verify(fileExists(trashFiles + "/" + baseName(path)), baseName(path))
        }
        verify(!strip.visible)
    }

    // A file that could not go to the trash (here: it is not on disk) is named in the error strip.
    function test_deleteFailureShowsInTheStrip() {
        const view = createView()
        const dialog = part(view, "removeDialog")
        const strip = part(view, "libraryError")
        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        const path = view.model.get(0).uri
        verify(!fileExists(path))
        openMenu(view, [0])
        choose(view, "Delete File(s)...")
        compare(part(view, "removeText").text, "Move 1 file(s) to the Trash and remove them from the library?")
        acceptDialog(dialog)
        verify(strip.visible)
        compare(strip.message, "Could not delete: " + baseName(path))
        verify(!fileExists(trashFiles + "/" + baseName(path)))
    }

    // Folder rows stand for no item ids: the dialog counts none and accepting it changes nothing.
    function test_removalOfNoItems() {
        const view = createView()
        const dialog = part(view, "removeDialog")
        view.open({ view: "folders" }, "Folders")
        const revision = Library.revision
        const counts = Library.counts
        openMenu(view, [0])
        choose(view, "Delete File(s)...")
        compare(part(view, "removeText").text, "Move 0 file(s) to the Trash and remove them from the library?")
        acceptDialog(dialog)
        compare(Library.revision, revision)
        compare(Library.counts.tracks, counts.tracks)
        compare(Library.counts.videos, counts.videos)
        verify(!part(view, "libraryError").visible)
        compare(view.selectedRows(), [])
    }

    // The file manager gets exactly the folder, however its name is spelt: an item's folder, a folder row's self.
    function test_showInFolder() {
        const view = createView()
        const odd = TestLibrary.mediaRoot + "/a #1 %"
        const id = Library.createPlaylist("Odd", [odd + "/x?.mp3"])
        view.open({ view: "playlist", key: { playlist: id } }, "Odd")
        openMenu(view, [0])
        choose(view, "Show in Folder")
        compare(TestKit.openedUrls.length, 1)
        let url = TestKit.openedUrls[0]
        verify(url.startsWith("file:///") && !url.startsWith("file:////"), url)
        verify(url.indexOf("#") < 0 && url.indexOf("?") < 0, url)
        compare(decodeURIComponent(url.substring("file://".length)), odd)

        view.open({ view: "folders" }, "Folders")
        const music = rowWhere(view, r => String(r.path).endsWith("/Music"))
        openMenu(view, [music])
        choose(view, "Show in Folder")
        compare(TestKit.openedUrls.length, 2)
        url = TestKit.openedUrls[1]
        compare(decodeURIComponent(url.substring("file://".length)), TestLibrary.mediaRoot + "/Music")
    }

    function test_editAndConvert() {
        const view = createView()
        const edits = spy(view, "editRequested")
        const converts = spy(view, "convertRequested")
        view.open({ view: "folders" }, "Folders")
        view.activate(rowWhere(view, r => String(r.path).endsWith("/Music")))
        const singles = rowWhere(view, r => r.type === "folder" && r.name === "Singles")
        const paths = view.urisForRows([singles])
        compare(paths.length, 4)
        openMenu(view, [singles])
        choose(view, "Edit Info...")
        compare(edits.count, 1)
        compare(edits.signalArguments[0][0], [])
        openMenu(view, [singles])
        choose(view, "Convert...")
        compare(converts.count, 1)
        compare(converts.signalArguments[0][0], paths)

        view.open({ view: "tracks", key: { album: "Old Tapes" } }, "Old Tapes")
        openMenu(view, [0, 1])
        choose(view, "Edit Info...")
        compare(edits.signalArguments[1][0], view.idsForRows([0, 1]))
    }

    function test_playEntries_data() {
        return [
            { tag: "Play", method: "playPaths" },
            { tag: "Play Next", method: "playPathsNext" },
            { tag: "Add to Queue", method: "enqueuePaths" }
        ]
    }

    function test_playEntries(data) {
        const view = createView()
        const videos = spy(view, "playedVideo")
        view.open({ view: "movies" }, "Movies")
        view.gridMode = false
        const rows = [1, 3]
        const paths = view.urisForRows(rows)
        openMenu(view, rows)
        choose(view, data.tag)
        const call = Player.calls[Player.calls.length - 1]
        compare(call.method, data.method)
        compare(call.paths, paths)
        if (data.method === "playPaths") {
            compare(call.index, 0)
            compare(call.shuffle, false)
        }
        compare(videos.count, data.method === "playPaths" ? 1 : 0)
    }

    function test_removeFromPlaylist() {
        const view = createView()
        const before = Library.playlistUris(1)
        view.open({ view: "playlist", key: { playlist: 1 } }, "Road Trip")
        openMenu(view, [3, 1])
        choose(view, "Remove from Playlist")
        compare(Library.playlistUris(1), [before[0], before[2], before[4]])
        compare(view.selectedRows(), [])
        tryCompare(view, "total", 3)
    }

    function test_zz_screenshot() {
        const view = createView()
        view.open({ view: "tracks" }, "Songs")
        const menu = openMenu(view, [2])
        const rateMenu = part(view, "rateMenu")
        mouseMove(entry(menu, "Rating"))
        mouseClick(entry(menu, "Rating"))
        tryCompare(rateMenu, "opened", true)
        TestKit.waitForFrame(view)
        const path = TestKit.screenshot(view, "library-view-menu-rating")
        verify(path !== "")
        compare(TestKit.run("test -s '" + path + "'"), 0, path)
        menu.close()
    }
}
