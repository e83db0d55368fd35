import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

TestCase {
    id: testCase
    name: "OpenUrlDialog"
    when: windowShown
    width: 800
    height: 600

    OpenUrlDialog {
        id: dialog
    }

    SignalSpy {
        id: playlistSpy
        target: Player
        signalName: "playlistChanged"
    }

    SignalSpy {
        id: acceptedSpy
        target: dialog
        signalName: "accepted"
    }

    SignalSpy {
        id: rejectedSpy
        target: dialog
        signalName: "rejected"
    }

    SignalSpy {
        id: osdSpy
        target: Player
        signalName: "osd"
    }

    function field() {
        return findChild(dialog.contentItem, "urlField")
    }

    function openDialog() {
        dialog.open()
        tryCompare(dialog, "opened", true)
        tryVerify(() => field().activeFocus)
        for (const spy of [playlistSpy, osdSpy, acceptedSpy, rejectedSpy])
            spy.clear()
    }

    function cleanup() {
        dialog.close()
        tryCompare(dialog, "visible", false)
        Player.stop()
        Player.clearPlaylist()
    }

    // A pasted address with blanks and a line break around it, scheme in capitals: Enter opens it trimmed.
    function test_enterOpensTheTrimmedAddress() {
        verify(TestKit.serveFile("/start-offset.ts", TestKit.fixture("start-offset.ts")))
        const address = TestKit.url("/start-offset.ts").replace("http://", "HTTP://")
        openDialog()
        compare(field().text, "")
        compare(field().placeholderText, "https://example.com/live/stream.m3u8")
        field().text = "  " + address + "\n"
        keyClick(Qt.Key_Return)
        tryCompare(dialog, "visible", false)
        verify(playlistSpy.count > 0)
        compare(Player.playlistCount, 1)
        compare(Player.playlist[0], address)
        tryCompare(Player, "hasMedia", true, 20000)
        tryVerify(() => Player.clockUs > 0, 20000)
    }

    function test_nothingIsCalled_data() {
        return [
            { tag: "only blanks, Open", text: "  \t  ", key: Qt.Key_Return, accepted: 1 },
            { tag: "address, Esc", text: "https://example.com/live/stream.m3u8", key: Qt.Key_Escape,
              accepted: 0 },
        ]
    }

    function test_nothingIsCalled(data) {
        const before = Player.playlistCount
        openDialog()
        field().text = data.text
        keyClick(data.key)
        tryCompare(dialog, "visible", false)
        compare(acceptedSpy.count, data.accepted)
        compare(rejectedSpy.count, 1 - data.accepted)
        compare(playlistSpy.count, 0)
        compare(osdSpy.count, 0)
        compare(Player.playlistCount, before)
    }

    function test_unsupportedSchemeIsRefused() {
        const before = Player.playlist
        openDialog()
        field().text = "gopher://example.com/1/stream"
        keyClick(Qt.Key_Enter)
        tryCompare(dialog, "visible", false)
        compare(osdSpy.count, 1)
        compare(osdSpy.signalArguments[0][0], "Not a supported stream address")
        compare(playlistSpy.count, 0)
        compare(Player.playlist, before)
    }

    function test_reopeningStartsEmpty() {
        openDialog()
        keyClick("x")
        compare(field().text, "x")
        keyClick(Qt.Key_Escape)
        tryCompare(dialog, "visible", false)
        openDialog()
        compare(field().text, "")
        verify(field().activeFocus)
        TestKit.screenshot(testCase, "OpenUrlDialog")
    }
}
