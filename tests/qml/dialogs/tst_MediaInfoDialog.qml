import QtQuick
import QtQuick.Controls.Basic
import QtCore
import QtTest
import Kestrune.MediaPlayer

TestCase {
    id: testCase
    name: "MediaInfoDialog"
    when: windowShown
    width: 800
    height: 720

    Rectangle {
        id: host
        anchors.fill: parent
        color: "#0a0b0d"

        MediaInfoDialog {
            id: dialog
        }
    }

    SignalSpy {
        id: osdSpy
        target: Player
        signalName: "osd"
    }

    function cleanup() {
        dialog.close()
        tryCompare(dialog, "visible", false)
        Player.stop()
        Player.clearPlaylist()
    }

    function openDialog() {
        dialog.open()
        tryCompare(dialog, "opened", true)
    }

    function closeDialog() {
        dialog.close()
        tryCompare(dialog, "visible", false)
    }

    // Opens path and pauses it, so a short fixture stays open however slow the machine is. A pause asked
    // while the open still holds the engine is dropped: it is asked again until it holds.
    function play(path) {
        verify(Player.open(path), path)
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Prepared || Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return Player.state === MediaSessionBridge.Paused
        }, 20000, "paused; state " + Player.state)
    }

    function repeater(name) {
        const r = findChild(dialog.contentItem, name)
        verify(r !== null, name)
        return r
    }

    function factValues() {
        const facts = repeater("facts")
        const values = {}
        for (let i = 0; i < facts.count; ++i) {
            const row = facts.itemAt(i)
            values[row.children[0].text] = row.children[1].text
        }
        return values
    }

    function cards() {
        const r = repeater("cards")
        const list = []
        for (let i = 0; i < r.count; ++i)
            list.push(r.itemAt(i))
        return list
    }

    function tagValue(key) {
        const r = repeater("tags")
        for (let i = 0; i < r.count; ++i) {
            const row = r.itemAt(i)
            if (findChild(row, "tagKey").text.toLowerCase() === key)
                return findChild(row, "tagValue").text
        }
        return undefined
    }

    function test_nothingPlaying() {
        openDialog()
        verify(findChild(dialog.contentItem, "nothingPlaying").visible)
        compare(repeater("facts").count, 0)
        compare(repeater("cards").count, 0)
        compare(repeater("tags").count, 0)
        verify(!findChild(dialog.contentItem, "tagsHeading").visible)
    }

    function test_multiStreamFile() {
        const path = TestKit.fixture("multi.mkv")
        play(path)
        openDialog()
        verify(!findChild(dialog.contentItem, "nothingPlaying").visible)
        const facts = factValues()
        compare(facts["Location"], path)
        verify(/matroska/i.test(facts["Format"]), facts["Format"])
        compare(facts["Duration"], "0:00:03")
        verify(/^[1-9][0-9]* KiB$/.test(facts["Size"]), facts["Size"])
        verify(/^[1-9][0-9]* kb\/s$/.test(facts["Overall bit rate"]), facts["Overall bit rate"])
        compare(facts["Video decoding"], "Software")

        const list = cards()
        compare(list.map(c => c.modelData.type), ["Video", "Audio", "Audio", "Subtitle"])
        compare(list[0].active, true)
        compare(list[1].active, list[1].modelData.id === Player.currentAudioTrack)
        compare(list[1].active, true)
        compare(list[2].active, false)
        compare(list[3].active, list[3].modelData.id === Player.currentSubtitleTrack)
        for (const card of list) {
            const prefix = card.modelData.type + " stream #" + card.modelData.id
            compare(card.title, card.active ? prefix + "  ·  in use" : prefix)
            compare(card.border.width, card.active ? 1 : 0, card.title)
            compare(card.color, Qt.color("#1c1f26"))
        }
        compare(list[0].border.color, Qt.color("#80ff5b22"))
        verify(list[0].modelData.details.length > 0)

        verify(findChild(dialog.contentItem, "tagsHeading").visible)
        compare(tagValue("title"), "Fixture Title")
        compare(tagValue("artist"), "Fixture Artist")
        TestKit.screenshot(host, "MediaInfoDialog")

        // Longer than the dialog: the bar shows at rest, and the end scrolls into view whole.
        const scroll = findChild(dialog.contentItem, "infoScroll")
        const flick = scroll.contentItem
        verify(flick.contentHeight > flick.height, flick.contentHeight + " in " + flick.height)
        compare(scroll.ScrollBar.vertical.policy, ScrollBar.AlwaysOn)
        tryVerify(() => scroll.ScrollBar.vertical.contentItem.opacity > 0.5, 5000, "the bar at rest")
        for (let i = 0; i < 60 && !flick.atYEnd; ++i)
            mouseWheel(scroll, scroll.width / 2, scroll.height / 2, 0, -360)
        tryVerify(() => flick.atYEnd, 5000, "scrolled to the end")
        const column = flick.contentItem.children[0]
        const lastChild = column.children[column.children.length - 1]
        for (const item of [list[list.length - 1], lastChild]) {
            const bottom = item.mapToItem(scroll, 0, item.height).y
            verify(bottom <= scroll.height + 0.5, "ends at " + bottom + " of " + scroll.height)
        }
        TestKit.screenshot(host, "MediaInfoDialogEnd")
    }

    function test_externalSubtitle() {
        play(TestKit.fixture("multi.mkv"))
        // Dropped without a word while the engine is busy: asked again until the player reports it.
        osdSpy.clear()
        tryVerify(() => {
            if (osdSpy.count === 0)
                Player.loadSubtitleFile("file://" + TestKit.fixture("inputs/two-cues.srt"))
            return osdSpy.count > 0
        }, 10000)
        compare(osdSpy.signalArguments[0][0], "Subtitles: two-cues.srt")
        tryVerify(() => Player.subtitleTracks.some(track => track.external === true), 10000)
        openDialog()
        const ext = cards().filter(c => c.title.startsWith("Subtitle stream #ext"))
        compare(ext.length, 1)
        verify(ext[0].modelData.id >= 100000)
    }

    // The view is a snapshot: a track switch while it is open does not show; reopening does.
    function test_snapshotUntilReopened() {
        play(TestKit.fixture("multi.mkv"))
        tryVerify(() => Player.currentAudioTrack >= 0)
        openDialog()
        const first = cards()[1].modelData.id
        compare(Player.currentAudioTrack, first)
        compare(cards()[1].active, true)
        const second = cards()[2].modelData.id
        // Dropped without a word while the engine is busy: asked again until it holds.
        tryVerify(() => {
            if (Player.currentAudioTrack !== second)
                Player.selectAudioTrack(second)
            return Player.currentAudioTrack === second
        }, 10000)
        wait(100)
        compare(cards()[1].active, true)
        compare(cards()[2].active, false)
        closeDialog()
        openDialog()
        compare(cards()[1].active, false)
        compare(cards()[2].active, true)
        compare(cards()[2].modelData.id, Player.currentAudioTrack)
    }

    function test_fmtDuration_data() {
        return [
            { tag: "missing", us: undefined, text: "unknown" },
            { tag: "zero", us: 0, text: "unknown" },
            { tag: "negative", us: -1, text: "unknown" },
            { tag: "187 s", us: 187000000, text: "0:03:07" },
            { tag: "just under an hour", us: 3599999999, text: "0:59:59" },
            { tag: "one hour", us: 3600000000, text: "1:00:00" },
            { tag: "hours unlimited", us: 360000000000, text: "100:00:00" },
        ]
    }

    function test_fmtDuration(data) {
        compare(dialog.fmtDuration(data.us), data.text)
    }

    function test_fmtSize_data() {
        return [
            { tag: "missing", b: undefined, text: "unknown" },
            { tag: "zero", b: 0, text: "unknown" },
            { tag: "minus one", b: -1, text: "unknown" },
            { tag: "rounded half up", b: 1536, text: "2 KiB" },
            { tag: "just under a MiB", b: 1048575, text: "1024 KiB" },
            { tag: "one MiB", b: 1048576, text: "1.0 MiB" },
            { tag: "one GiB", b: 1073741824, text: "1.00 GiB" },
            { tag: "GiB, two decimals", b: 5 * 1073741824 + 536870912, text: "5.50 GiB" },
        ]
    }

    function test_fmtSize(data) {
        compare(dialog.fmtSize(data.b), data.text)
    }

    // What the rows make of unusual maps (the bridge's own values are checked above).
    function test_rowsFromInfo_data() {
        return [
            { tag: "bit rate zero", info: { path: "/a", bitRate: 0 }, fact: "Overall bit rate", text: "unknown" },
            { tag: "CD bit rate", info: { path: "/a", bitRate: 1411200 }, fact: "Overall bit rate",
              text: "1411 kb/s" },
            { tag: "no decoder", info: { path: "/a", decoder: "" }, fact: "Video decoding", text: "—" },
            { tag: "no container", info: { path: "/a" }, fact: "Format", text: "" },
            { tag: "unknown duration", info: { path: "/a", durationUs: 0 }, fact: "Duration", text: "unknown" },
        ]
    }

    function test_rowsFromInfo(data) {
        dialog.info = data.info
        compare(factValues()[data.fact], data.text)
        compare(repeater("tags").count, 0)
        verify(!findChild(dialog.contentItem, "tagsHeading").visible)
    }

    function test_longTextsWrapAndKeysElide() {
        const longPath = "/media/" + "x".repeat(400) + ".mkv"
        openDialog()
        dialog.info = {
            path: longPath,
            tracks: [{ type: "Subtitle", id: 100000, active: false, details: ["File: " + longPath] }],
            tags: [{ key: "k".repeat(80), value: "v".repeat(400) }],
        }
        const scroll = findChild(dialog.contentItem, "infoScroll")
        compare(scroll.contentItem.contentWidth, scroll.availableWidth)
        const location = repeater("facts").itemAt(0).children[1]
        tryVerify(() => location.lineCount > 1)
        verify(location.x + location.width <= scroll.availableWidth)
        compare(cards()[0].title, "Subtitle stream #ext")
        const row = repeater("tags").itemAt(0)
        tryVerify(() => findChild(row, "tagKey").truncated)
        tryVerify(() => findChild(row, "tagValue").lineCount > 1)
        compare(findChild(row, "tagKey").width, 130)
    }

    Text {
        id: richControl
        textFormat: Text.RichText
    }

    // Tags are data: markup in them is shown as written and fetches nothing.
    function test_markupInTagsIsText() {
        TestKit.serve("/pixel.png", 404, "")
        TestKit.serve("/control.png", 404, "")
        const markup = "<img src=\"" + TestKit.url("/pixel.png") + "\">"
        const file = TestKit.scratchDir + "/markup.mkv"
        compare(TestKit.run("ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=10:duration=1"
                            + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -metadata title='" + markup
                            + "' '" + file + "'"), 0)
        play(file)
        openDialog()
        compare(tagValue("title"), markup)
        TestKit.waitForFrame(dialog.contentItem)
        // The same markup as rich text does fetch: once the control's request arrives, the tag's would have too.
        richControl.text = "<img src=\"" + TestKit.url("/control.png") + "\">"
        tryVerify(() => TestKit.requestCount("/control.png") > 0, 10000)
        compare(TestKit.requestCount("/pixel.png"), 0)
    }
}
