import QtQuick
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// Files dragged from the desktop onto the playlist panel, with the real player and actions behind it.
TestCase {
    id: testCase
    name: "MainDrop"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening
    readonly property int boundCount: Player.playlistCount

    SignalSpy {
        id: triggered
        target: Actions
        signalName: "triggered"
    }

    function init() {
        failOnWarning(/^(qrc|file):|\bQML\b/)
        triggered.clear()
    }

    function cleanup() {
        TestKit.leaveDrag()
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000, "the player stops")
    }

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        window.libraryVisible = false
        window.playlistVisible = true
        tryVerify(() => window.visible && window.active !== undefined)
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    function part(window, name) {
        const object = findChild(window.contentItem, name)
        verify(object !== null, name)
        return object
    }

    // Three files land in the drop's order, one "playlist.add" each; the border shows while the drag is over.
    function test_threeFilesDropInOrder() {
        const window = createMain()
        const panel = part(window, "playlistPanel")
        const highlight = part(window, "playlistDropHighlight")
        tryCompare(panel, "width", 320)
        const files = ["tone6.mkv", "clip.mp4", "cover.mp3"].map(name => TestKit.fixture(name))
        const urls = files.map(path => "file://" + path)
        verify(!highlight.visible)
        verify(TestKit.enterDrag(panel, 160, panel.height / 2, urls, ""))
        tryCompare(highlight, "visible", true)
        verify(TestKit.dropDrag())
        tryCompare(testCase, "boundCount", 3, 10000)
        compare(Player.playlist, files)
        const adds = []
        for (let i = 0; i < triggered.count; ++i) {
            if (triggered.signalArguments[i][0] === "playlist.add")
                adds.push(triggered.signalArguments[i][1])
        }
        compare(adds, urls)
        tryCompare(highlight, "visible", false)
    }

    // Plain text is no file: no border, and dropping it changes nothing.
    function test_textOnlyDragIsRefused() {
        const window = createMain()
        const panel = part(window, "playlistPanel")
        const highlight = part(window, "playlistDropHighlight")
        tryCompare(panel, "width", 320)
        verify(!TestKit.enterDrag(panel, 160, panel.height / 2, [], "/tmp/some file.mkv"))
        wait(50)
        verify(!highlight.visible)
        verify(!TestKit.dropDrag())
        wait(200)
        compare(boundCount, 0)
        compare(triggered.count, 0)
    }
}
