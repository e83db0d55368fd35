import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The edit dialog against the real library on the seeded database (reopened before every test); the
// write-back cases scan real MP3 files into it.
TestCase {
    id: testCase
    name: "LibraryEditDialog"
    when: windowShown
    visible: true
    width: 900
    height: 700

    Component {
        id: dialogComponent
        LibraryEditDialog {}
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function init() {
        failOnWarning(/^(qrc|file):|\bQML\b/)
        verify(TestLibrary.reopen("seeded"))
    }

    function sh(commandLine) {
        compare(TestKit.run(commandLine), 0, commandLine)
    }

    // The dialog opened on ids, and a spy on the library's content signal.
    function openOn(ids) {
        const dialog = createTemporaryObject(dialogComponent, testCase)
        verify(dialog !== null)
        dialog.openFor(ids)
        tryCompare(dialog, "opened", true)
        const content = createTemporaryObject(spyComponent, testCase, { target: Library, signalName: "contentChanged" })
        return { dialog: dialog, content: content }
    }

    function part(dialog, name) {
        const found = findChild(dialog.contentItem, name)
        verify(found !== null, "no " + name)
        return found
    }

    function field(dialog, key) {
        return part(dialog, key === "tags" ? "tagsField" : "field_" + key)
    }

    function hintOf(dialog, key) {
        const hint = findChild(field(dialog, key), "fieldHint")
        compare(hint.textFormat, Text.PlainText)
        return hint.visible ? hint.text : ""
    }

    // The labels of the form's rows as shown, top to bottom.
    function shownRows(dialog) {
        const form = part(dialog, "editForm")
        const labels = []
        for (let i = 0; i < form.children.length; ++i) {
            const row = form.children[i]
            if (row.visible && row.children.length > 0 && row.children[0].objectName === "editRowLabel")
                labels.push(row.children[0].text)
        }
        return labels
    }

    function save(dialog) {
        mouseClick(dialog.standardButton(Dialog.Save))
        tryCompare(dialog, "opened", false)
    }

    // Replaces a field's text as typed, one key at a time, so its validator sees every key.
    function type(dialog, key, text) {
        const input = field(dialog, key)
        input.forceActiveFocus()
        input.selectAll()
        keyClick(Qt.Key_Delete)
        for (const character of text)
            keyClick(character)
        return input.text
    }

    function idOf(title) {
        for (const view of ["tracks", "videos"]) {
            for (const id of Library.idsForQuery({ view: view })) {
                if (Library.item(id).title === title)
                    return id
            }
        }
        fail("no item titled " + title)
    }

    // Copies of a fixture, each with its own title tag, in a new folder the library scans; their ids.
    function scanCopies(folderName, titles) {
        const folder = TestKit.scratchDir + "/" + folderName
        sh("rm -rf '" + folder + "' && mkdir -p '" + folder + "'")
        for (let i = 0; i < titles.length; ++i) {
            sh("ffmpeg -hide_banner -loglevel error -y -i '" + TestKit.fixture("six-seconds.mp3") + "' -c copy "
               + "-metadata title='" + titles[i] + "' '" + folder + "/copy" + i + ".mp3'")
        }
        verify(Library.addFolder(folder))
        let ids = []
        tryVerify(() => {
            ids = Library.idsForQuery({ view: "tracks" }).filter(id => String(Library.item(id).uri).startsWith(folder))
            return ids.length === titles.length && !Library.scanning
        }, 60000, "the copies are scanned")
        ids.sort((a, b) => String(Library.item(a).uri).localeCompare(String(Library.item(b).uri)))
        return ids
    }

    function fileTitle(path) {
        return "ffprobe -v error -show_format '" + path + "' | grep -qx 'TAG:title="
    }

    function test_singleItemStartsFromItsValues() {
        const id = idOf("Café Noir")
        const item = Library.item(id)
        const t = openOn([id])
        const dialog = t.dialog
        compare(dialog.title, "Edit Info")
        compare(shownRows(dialog), ["Title", "Artist", "Album", "Album artist", "Year", "Track", "Genre", "Composer",
                                    "Tags"])
        verify(!part(dialog, "editMultiHint").visible)
        verify(!part(dialog, "kindRow").visible)

        const expected = { title: "Café Noir", artist: "Mira Sol", album: "Harbour Songs", year: "2021", track: "3",
                           genre: "Jazz", tags: item.tags }
        for (const key in expected)
            compare(field(dialog, key).text, expected[key], key)
        verify(item.tags.indexOf("favourite") >= 0 && item.tags.indexOf("Chill") >= 0, item.tags)
        // The file's own values show as hints once a field is emptied.
        field(dialog, "title").text = ""
        compare(hintOf(dialog, "title"), "File: Café Noir")
        field(dialog, "year").text = ""
        compare(hintOf(dialog, "year"), "File: 2021")
        field(dialog, "tags").text = ""
        compare(hintOf(dialog, "tags"), "comma, separated")
        verify(!part(dialog, "writeBack").checked)
        compare(part(dialog, "editPath").text, item.uri)
        compare(part(dialog, "editPath").textFormat, Text.PlainText)
        dialog.reject()
        compare(t.content.count, 0)
    }

    function test_untouchedSaveWritesNothing() {
        const id = idOf("Café Noir")
        const before = Library.item(id)
        const revision = Library.revision
        const t = openOn([id])
        save(t.dialog)
        wait(50)
        compare(t.content.count, 0)
        compare(Library.revision, revision)
        compare(Library.item(id), before)
    }

    // An emptied field drops the library's own value, so the file's shows again; a changed tags field
    // replaces the tags, and an emptied one removes them all.
    function test_singleEdits_data() {
        return [
            { tag: "emptied title", title: "Evening Tide", key: "title", text: "", shown: "track05" },
            { tag: "changed genre", title: "Café Noir", key: "genre", text: "  Blues ", shown: "Blues" },
            { tag: "changed tags", title: "Café Noir", key: "tags", text: "late night, Rain", shown: "late night, Rain" },
            { tag: "emptied tags", title: "Café Noir", key: "tags", text: "", shown: "" },
        ]
    }

    function test_singleEdits(data) {
        const id = idOf(data.title)
        const t = openOn([id])
        field(t.dialog, data.key).text = data.text
        save(t.dialog)
        compare(t.content.count, 1)
        const item = Library.item(id)
        compare(item[data.key], data.shown)
        // Nothing else moved.
        compare(item.artist, data.title === "Café Noir" ? "Mira Sol" : "The Lanterns")
    }

    // Year 0 is no year; season 0 is a season.
    function test_zeroNumbers_data() {
        return [
            { tag: "year 0", title: "Café Noir", edit: { year: "0" }, key: "year", text: "" },
            { tag: "season 0", title: "The Trench", edit: { season: "0" }, key: "season", text: "0" },
            { tag: "episode 0", title: "The Trench", edit: { episode: "0" }, key: "episode", text: "0" },
        ]
    }

    function test_zeroNumbers(data) {
        const id = idOf(data.title)
        Library.editMetadata([id], data.edit)
        const t = openOn([id])
        compare(field(t.dialog, data.key).text, data.text)
        // Opened and saved untouched, the zero stays as it was.
        save(t.dialog)
        compare(t.content.count, 0)
        compare(Number(Library.item(id)[data.key]), 0)
    }

    function test_twoItems() {
        const ids = [idOf("Café Noir"), idOf("Low Tide")]
        const tagsBefore = ids.map(id => Library.item(id).tags)
        let t = openOn(ids)
        const dialog = t.dialog
        compare(dialog.title, "Edit 2 Items")
        verify(part(dialog, "editMultiHint").visible)
        compare(shownRows(dialog), ["Title", "Artist", "Album", "Album artist", "Year", "Track", "Genre", "Composer",
                                    "Tags"])
        for (const key of ["title", "artist", "album", "album_artist", "year", "track", "genre", "composer"]) {
            compare(field(dialog, key).text, "", key)
            compare(hintOf(dialog, key), "(keep)", key)
        }
        verify(!part(dialog, "editPath").visible)
        save(dialog)
        compare(t.content.count, 0)

        // Only filled fields change; typed tags join each item's own.
        t = openOn(ids)
        field(t.dialog, "genre").text = "Bossa"
        field(t.dialog, "tags").text = "rainy, chill"
        save(t.dialog)
        compare(t.content.count, 2)
        for (let i = 0; i < ids.length; ++i) {
            const item = Library.item(ids[i])
            compare(item.genre, "Bossa")
            compare(item.album, "Harbour Songs")
            const tags = item.tags.split(", ")
            for (const kept of tagsBefore[i].split(", "))
                verify(tags.indexOf(kept) >= 0, item.tags)
            verify(tags.indexOf("rainy") >= 0, item.tags)
            // "Chill" was there already, in another case: not added twice.
            compare(tags.filter(tag => tag.toLowerCase() === "chill").length, 1, item.tags)
        }
    }

    function test_singleVideo() {
        const id = idOf("birthday 2024")
        const t = openOn([id])
        const dialog = t.dialog
        compare(shownRows(dialog), ["Kind", "Title", "Year", "Genre", "Show", "Season", "Episode", "Tags"])
        const kind = part(dialog, "kindCombo")
        compare(kind.currentText, "Automatic")
        compare(kind.model, ["Automatic", "Movie", "TV episode", "Other video"])
        kind.currentIndex = 1
        save(dialog)
        compare(Library.item(id).category, "movie")

        // Reopened, it starts from the stored kind; back to Automatic drops it.
        const again = openOn([id])
        compare(part(again.dialog, "kindCombo").currentText, "Movie")
        part(again.dialog, "kindCombo").currentIndex = 0
        save(again.dialog)
        verify(!Library.item(id).category)
    }

    // The main window keeps one dialog: opened again on another kind of item, or on several, its new rows
    // start from the new texts.
    function test_reopenedOnAnotherKind() {
        const t = openOn([idOf("Café Noir")])
        const dialog = t.dialog
        dialog.reject()
        tryCompare(dialog, "opened", false)

        dialog.openFor([idOf("Bioluminescence")])
        tryCompare(dialog, "opened", true)
        compare(shownRows(dialog), ["Kind", "Title", "Year", "Genre", "Show", "Season", "Episode", "Tags"])
        const expected = { title: "Bioluminescence", year: "2020", genre: "Documentary", show: "Deep Sea", season: "1",
                           episode: "2", tags: "" }
        for (const key in expected)
            compare(field(dialog, key).text, expected[key], key)
        compare(part(dialog, "kindCombo").currentText, "TV episode")
        part(dialog, "writeBack").checked = true
        dialog.reject()
        tryCompare(dialog, "opened", false)

        dialog.openFor([idOf("Bioluminescence"), idOf("Café Noir")])
        tryCompare(dialog, "opened", true)
        compare(dialog.title, "Edit 2 Items")
        compare(field(dialog, "title").text, "")
        compare(field(dialog, "artist").text, "")
        compare(field(dialog, "tags").text, "")
        verify(!part(dialog, "writeBack").checked)
        save(dialog)
        compare(t.content.count, 0)
    }

    // Whole numbers from 0 to 9999: every other key is refused as it is typed.
    function test_numberFieldsTakeWholeNumbers_data() {
        return [
            { tag: "year", title: "Café Noir", key: "year" },
            { tag: "track", title: "Café Noir", key: "track" },
            { tag: "season", title: "The Trench", key: "season" },
            { tag: "episode", title: "The Trench", key: "episode" },
        ]
    }

    function test_numberFieldsTakeWholeNumbers(data) {
        const t = openOn([idOf(data.title)])
        compare(type(t.dialog, data.key, "-1.5e2"), "152")
        compare(type(t.dialog, data.key, "98765"), "9876")
        compare(type(t.dialog, data.key, "0"), "0")
        // A text field is not held back the same way.
        compare(type(t.dialog, "title", "-1.5e2"), "-1.5e2")
        t.dialog.reject()
    }

    function test_writeBackIntoTwoFiles() {
        const ids = scanCopies("write-two", ["<i>One</i>", "Two"])
        // The file's own title is shown as it is, never as markup.
        let t = openOn([ids[0]])
        field(t.dialog, "title").text = ""
        compare(hintOf(t.dialog, "title"), "File: <i>One</i>")
        t.dialog.reject()

        t = openOn(ids)
        field(t.dialog, "title").text = "Harbour Lights"
        part(t.dialog, "writeBack").checked = true
        save(t.dialog)
        verify(!part(t.dialog, "errorDlg").opened)
        for (const id of ids)
            sh(fileTitle(Library.item(id).uri) + "Harbour Lights'")
        compare(Library.item(ids[0]).title, "Harbour Lights")
    }

    function test_writeBackFailuresKeepTheEdits() {
        const real = scanCopies("write-three", ["Three"])[0]
        // Seeded items: their files do not exist.
        const missing = [idOf("Café Noir"), idOf("Low Tide")]
        const firstError = Library.writeTagsToFile(missing[0])
        verify(firstError !== "")
        const t = openOn([real].concat(missing))
        compare(t.dialog.title, "Edit 3 Items")
        field(t.dialog, "genre").text = "Harbour"
        part(t.dialog, "writeBack").checked = true
        save(t.dialog)
        const errorDlg = part(t.dialog, "errorDlg")
        tryCompare(errorDlg, "opened", true)
        compare(errorDlg.title, "Tags not written")
        const text = findChild(errorDlg.contentItem, "editErrorText")
        compare(text.text, firstError + " (and 1 more)\n\nThe library keeps your edits either way.")
        compare(text.textFormat, Text.PlainText)
        for (const id of [real].concat(missing))
            compare(Library.item(id).genre, "Harbour")
        sh("ffprobe -v error -show_format '" + Library.item(real).uri + "' | grep -qx 'TAG:genre=Harbour'")
        TestKit.screenshot(testCase, "LibraryEditDialog-error")
        mouseClick(errorDlg.standardButton(Dialog.Ok))
        tryCompare(errorDlg, "opened", false)
    }

    function test_screenshot() {
        const t = openOn([idOf("Café Noir")])
        TestKit.waitForFrame(t.dialog.contentItem)
        verify(TestKit.screenshot(testCase, "LibraryEditDialog") !== "")
        t.dialog.reject()
    }
}
