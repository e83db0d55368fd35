import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The update dialog against the real checker, fed from the loopback server. The checker keeps its state
// between tests, so they run in the order of their numbers: nothing checked, a failure and its retry, then
// newer versions.
TestCase {
    id: testCase
    name: "UpdateDialog"
    when: windowShown
    width: 800
    height: 600

    UpdateDialog {
        id: dialog
    }

    function ctl(name) {
        const item = findChild(dialog.contentItem, name)
        verify(item !== null, name)
        return item
    }

    // Clicks a button once the dialog has laid out its new state: a click that lands where the button is
    // about to be falls outside the dialog and closes it.
    function press(name) {
        const button = ctl(name)
        waitForItemPolished(dialog.contentChildren[0])
        waitForItemPolished(button.parent)
        TestKit.waitForFrame(dialog.contentItem)
        const centre = button.mapToItem(dialog.contentItem, button.width / 2, button.height / 2)
        verify(centre.x > 0 && centre.x < dialog.contentItem.width && centre.y > 0
               && centre.y < dialog.contentItem.height, name + " lies inside the dialog")
        mouseClick(button)
    }

    function shown(name) {
        return ctl(name).visible
    }

    // Serves body as the feed at path and points the checker at it.
    function feed(path, status, body) {
        TestKit.serve(path, status, typeof body === "string" ? body : JSON.stringify(body))
        TestKit.setEnv("KESTRUNE_UPDATE_FEED", TestKit.url(path))
    }

    function checkUntil(state) {
        dialog.checkNow()
        tryCompare(dialog, "opened", true)
        tryCompare(Updates, "state", state, 20000)
    }

    function cleanup() {
        dialog.close()
        tryCompare(dialog, "visible", false)
        TestKit.clearOpenedUrls()
    }

    function test_1_beforeAnyCheck() {
        compare(Updates.state, "idle")
        dialog.open()
        tryCompare(dialog, "opened", true)
        compare(ctl("titleLabel").text, "Kestrune Media Player")
        compare(ctl("detailLabel").text, "Version 1.0.2")
        verify(shown("closeButton"))
        for (const name of ["tryAgainButton", "downloadButton", "notesView", "downloadHint", "lastCheckLabel"])
            verify(!shown(name), name)
    }

    function test_2_failureThenRetry() {
        feed("/failing.json", 500, { version: "2.0.0", url: "https://downloads.kestrune.example/2.0.0" })
        dialog.checkNow()
        compare(ctl("titleLabel").text, "Checking…")
        tryCompare(Updates, "state", "error", 20000)
        compare(ctl("titleLabel").text, "Couldn't check for updates")
        compare(ctl("detailLabel").text, Updates.error)
        verify(Updates.error.startsWith("Couldn't reach the update server ("), Updates.error)
        verify(Qt.colorEqual(ctl("detailLabel").color, "#f87171"))
        verify(shown("tryAgainButton") && shown("closeButton"))
        verify(!shown("downloadButton"))
        // No successful check yet: the line is there and says nothing.
        verify(shown("lastCheckLabel"))
        compare(ctl("lastCheckLabel").text, "")

        feed("/failing.json", 200, { version: "1.0.2" })
        const before = new Date()
        // The loopback reply may land while the click is still being delivered: follow the titles shown.
        const titles = []
        const follow = () => titles.push(ctl("titleLabel").text)
        ctl("titleLabel").textChanged.connect(follow)
        press("tryAgainButton")
        verify(dialog.visible)
        tryCompare(Updates, "state", "current", 20000)
        ctl("titleLabel").textChanged.disconnect(follow)
        compare(titles, ["Checking…", "You're up to date"])
        compare(ctl("titleLabel").text, "You're up to date")
        compare(ctl("detailLabel").text, "Version 1.0.2")
        verify(Updates.lastChecked !== "")
        compare(ctl("lastCheckLabel").text, "Last successful check: " + Updates.lastChecked)
        const stored = new Date(TestKit.settingsValue("updates/lastCheck"))
        verify(Math.abs(stored - before) < 60000, stored + " against " + before)
        verify(!shown("tryAgainButton"))
    }

    function test_3_newerVersion_data() {
        let longNotes = ""
        for (let i = 1; i <= 60; ++i)
            longNotes += "Change number " + i + " in this release.\n"
        return [
            { tag: "date and notes", path: "/full.json", date: "2024-05-01T10:00:00Z",
              notes: "Faster seeking.\nFewer crashes." },
            { tag: "no date", path: "/undated.json", notes: "Faster seeking." },
            { tag: "empty notes", path: "/bare.json", date: "2024-05-01T10:00:00Z", notes: "" },
            { tag: "long notes", path: "/long.json", notes: longNotes },
        ]
    }

    function test_3_newerVersion(row) {
        const download = "https://downloads.kestrune.example/2.1.0" + row.path
        const body = { version: "2.1.0", notes: row.notes, url: download }
        if (row.date)
            body.date = row.date
        feed(row.path, 200, body)
        dialog.checkNow()
        compare(ctl("titleLabel").text, "Checking…")
        tryCompare(Updates, "state", "available", 20000)
        compare(ctl("titleLabel").text, "Version 2.1.0 is available")
        if (row.date) {
            verify(Updates.releaseDate !== "")
            compare(ctl("detailLabel").text, "You have 1.0.2 · released " + Updates.releaseDate)
        } else {
            compare(ctl("detailLabel").text, "You have 1.0.2")
        }
        compare(shown("notesView"), row.notes !== "")
        if (row.notes !== "") {
            compare(ctl("notesArea").text, row.notes)
            verify(ctl("notesView").height <= 220, ctl("notesView").height)
            if (row.tag === "long notes")
                verify(ctl("notesArea").implicitHeight > 220)
        }
        verify(shown("downloadHint") && shown("downloadButton") && shown("closeButton"))
        verify(!shown("tryAgainButton") && !shown("lastCheckLabel"))
        TestKit.waitForFrame(dialog.contentItem)
        if (row.tag === "date and notes")
            verify(TestKit.screenshot(testCase, "UpdateDialog-available") !== "")

        press("downloadButton")
        compare(dialog.visible, false)
        compare(TestKit.openedUrls, [download])
    }

    // Markup in the feed shows as typed and fetches nothing.
    function test_4_markupInTheFeed() {
        TestKit.serve("/pixel.png", 200, "")
        const img = "<img src=\"" + TestKit.url("/pixel.png") + "\">"
        const version = "9.9.9 " + img
        feed("/markup.json", 200, { version: version, notes: "<b>bold</b> " + img,
                                    url: "https://downloads.kestrune.example/9.9.9" })
        checkUntil("available")
        compare(ctl("titleLabel").text, "Version " + version + " is available")
        compare(ctl("titleLabel").textFormat, Text.PlainText)
        compare(ctl("notesArea").textFormat, TextEdit.PlainText)
        TestKit.waitForFrame(dialog.contentItem)
        // Whatever would have been fetched is asked for while the text is laid out and drawn.
        compare(TestKit.requestCount("/pixel.png"), 0)
    }

    // Runs last: the hanging request ends only by the checker's own time-out.
    function test_5_checkNowWhileAChecksRuns() {
        TestKit.hang("/hang.json")
        TestKit.setEnv("KESTRUNE_UPDATE_FEED", TestKit.url("/hang.json"))
        dialog.checkNow()
        tryCompare(dialog, "opened", true)
        tryVerify(() => TestKit.requestCount("/hang.json") === 1, 10000)
        compare(ctl("titleLabel").text, "Checking…")
        // Esc closes the dialog; the check goes on.
        keyClick(Qt.Key_Escape)
        tryCompare(dialog, "visible", false)
        compare(Updates.state, "checking")
        dialog.checkNow()
        tryCompare(dialog, "opened", true)
        compare(Updates.state, "checking")
        // Only the checker's time-out ends the request; by then the server has still seen just one.
        tryCompare(Updates, "state", "error", 60000)
        compare(TestKit.requestCount("/hang.json"), 1)
    }
}
