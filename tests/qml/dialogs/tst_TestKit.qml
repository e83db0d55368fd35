import QtQuick
import QtQuick.Window
import QtTest

// The bench itself: the real player behind "Player", keys for a chosen window, URLs caught before any
// desktop handler, and settings that keep discovery off.
TestCase {
    id: testCase
    name: "TestKit"
    when: windowShown
    visible: true
    width: 200
    height: 100

    Component {
        id: secondWindowComponent
        Window {
            property int shortcutHits: 0
            property alias field: field
            width: 160
            height: 90
            visible: true
            Shortcut {
                sequence: "Ctrl+K"
                onActivated: shortcutHits += 1
            }
            TextInput {
                id: field
                width: 150
                height: 20
            }
        }
    }

    function cleanup() {
        Player.stop()
        Player.clearPlaylist()
        TestKit.clearOpenedUrls()
    }

    function test_playsClipThroughThePlayer() {
        const path = TestKit.fixture("clip.mp4")
        verify(path.endsWith("/clip.mp4"), path)
        verify(Player.open(path))
        tryVerify(() => Player.state === 3 && Player.durationUs > 0, 20000, "playing: state " + Player.state
                  + ", error " + Player.lastError)
        const start = Player.clockUs
        tryVerify(() => Player.clockUs > start + 200000, 20000, "the clock moves")
        Player.stop()
        tryVerify(() => !Player.hasMedia, 10000)
    }

    function test_keyClickReachesAnotherWindow() {
        const second = createTemporaryObject(secondWindowComponent, testCase)
        verify(second !== null)
        tryVerify(() => second.visible)
        verify(TestKit.keyClick(second, Qt.Key_K, Qt.ControlModifier))
        tryCompare(second, "shortcutHits", 1)
        // An item of the window names it too.
        verify(TestKit.keyClick(second.contentItem, Qt.Key_K, Qt.ControlModifier))
        tryCompare(second, "shortcutHits", 2)
        // Typed text goes to the focused field of that window.
        second.field.forceActiveFocus()
        verify(TestKit.keyClicks(second, "Tom & Jerry 2"))
        compare(second.field.text, "Tom & Jerry 2")
    }

    function test_openedUrlsAreCaught_data() {
        return [
            { tag: "https", url: "https://example.com/" },
            { tag: "http", url: "http://127.0.0.1:9/notes" },
            { tag: "file", url: "file:///tmp/some%20folder/" },
        ]
    }
    function test_openedUrlsAreCaught(row) {
        verify(Qt.openUrlExternally(row.url))
        compare(TestKit.openedUrls.length, 1)
        compare(TestKit.openedUrls[0], row.url)
    }

    // Every context object the program gives its windows is here, as the program creates it.
    function test_contextObjectsArePresent() {
        for (const service of [Player, Actions, Hud, Converter, Library, Cast, Updates])
            verify(service !== null && typeof service === "object", String(service))
        verify(AppDirUrl.startsWith("file:///"), AppDirUrl)
        compare(Qt.application.name, "Kestrune Media Player")
        compare(Qt.application.organization, "Kestrune")
        compare(Qt.application.version, Updates.currentVersion)
    }

    function test_discoveryStaysOff() {
        compare(String(TestKit.settingsValue("cast/enabled")), "false")
        compare(String(TestKit.settingsValue("cast/discoverOnStart")), "false")
    }

    function test_loopbackServerAndEnvironment() {
        TestKit.serve("/feed.json", 200, "{\"version\": \"9.9.9\"}")
        const url = TestKit.url("/feed.json")
        verify(url.startsWith("http://127.0.0.1:"), url)
        let answer = ""
        const request = new XMLHttpRequest()
        request.onreadystatechange = () => {
            if (request.readyState === XMLHttpRequest.DONE)
                answer = request.status + " " + request.responseText
        }
        request.open("GET", url)
        request.send()
        tryVerify(() => answer === "200 {\"version\": \"9.9.9\"}", 10000, "answer: " + answer)

        // A child process sees what setEnv set, and no longer sees it once removed.
        TestKit.setEnv("KVR_BENCH_PROBE", "yes")
        compare(TestKit.run("[ \"$KVR_BENCH_PROBE\" = yes ]"), 0)
        TestKit.setEnv("KVR_BENCH_PROBE", undefined)
        compare(TestKit.run("[ -z \"${KVR_BENCH_PROBE+set}\" ]"), 0)
    }
}
