import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer
import Kestrune.Test

// The casting window against the program's real cast session. Discovery is switched off for the process
// (KESTRUNE_CAST_DISCOVERY=off), so nothing is ever sent to the network: every receiver listens on 127.0.0.1,
// DLNA renderers as description documents on the kit's server, the AirPlay receiver as the test receiver.
// The session started with a subtitle mode this version does not know (seeded by the test's CMake entry).
TestCase {
    id: testCase
    name: "CastWindow"
    when: windowShown
    width: 200
    height: 100

    CastWindow {
        id: win
    }

    AirPlayTestReceiver {
        id: airPlay
    }

    // What the clipboard holds is read back by pasting it here.
    TextEdit {
        id: pasteBox
    }

    // When the session announced its log; how often the log's text was set.
    property var announcedAt: []
    Connections {
        target: Cast
        function onDiagnosticsChanged() {
            testCase.announcedAt.push(Date.now())
        }
    }
    SignalSpy {
        id: logTextSpy
        signalName: "textChanged"
    }

    readonly property var devices: Cast.devices
    readonly property int playerState: Player.state
    readonly property bool casting: Player.casting

    function initTestCase() {
        // The bench keeps casting off; discovery stays off through the environment.
        Cast.enabled = true
        win.openWindow()
        tryCompare(win, "visible", true)
    }

    function init() {
        // A warning from QML (a broken binding, rich text fetching something) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
    }

    function cleanup() {
        Cast.stop()
        airPlay.dropRequests("/server-info", false)
        // A description still on its way may list its renderer after the first pass.
        tryVerify(() => {
            // The ids first: the list read here shrinks under the loop as receivers go.
            for (const id of Cast.devices.map(d => d.id))
                Cast.removeManual(id)
            return Cast.devices.length === 0
        }, 10000, "every receiver forgotten")
        Cast.clearDiagnostics()
        Cast.enabled = true
        ctl("typeBox").currentIndex = 0
        ctl("addressField").clear()
        Player.clearPlaylist()
        tryVerify(() => !Player.hasMedia && !Player.isOpening, 15000, "the player stops")
    }

    function ctl(name) {
        const item = findChild(win.contentItem, name)
        verify(item !== null, name)
        return item
    }

    // Clicked where the layouts put it; rows made a moment ago may still wait for their layout.
    function click(item) {
        for (let up = item; up; up = up.parent)
            waitForItemPolished(up)
        verify(item.visible)
        mouseClick(item)
    }

    function rowNamed(name) {
        const list = ctl("receivers")
        for (let i = 0; i < list.count; ++i) {
            const row = list.itemAt(i)
            if (row && findChild(row, "nameText").text === name)
                return row
        }
        return null
    }

    // The row of the receiver name, once listed; the list rebuilds its rows on every change, so a row is
    // looked up again after each.
    function row(name) {
        tryVerify(() => rowNamed(name) !== null, 15000, "row of " + name)
        return rowNamed(name)
    }

    function part(name, partName) {
        const item = findChild(row(name), partName)
        verify(item !== null, partName)
        return item
    }

    // The box's entry at index, clicked in its list as a user does.
    function pick(box, index) {
        click(box)
        tryCompare(box.popup, "opened", true)
        const list = box.popup.contentItem
        list.positionViewAtIndex(index, ListView.Contain)
        let entry = null
        tryVerify(() => {
            entry = list.itemAtIndex(index)
            return entry !== null && entry.visible && list.Window.window !== null
        }, 5000, "entry " + index)
        const at = entry.mapToItem(list, entry.width / 2, entry.height / 2)
        mouseClick(list, at.x, at.y)
        tryCompare(box.popup, "visible", false)
    }

    function type(item, text) {
        item.forceActiveFocus()
        verify(TestKit.keyClicks(item, text))
    }

    // A renderer's description on the kit's server, with an AVTransport service; its address to add.
    function describe(path, name, manufacturer, model) {
        const escape = s => s.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
            .replace(/"/g, "&quot;")
        TestKit.serve(path, 200, "<?xml version=\"1.0\"?>\n"
                      + "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
                      + "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
                      + "<friendlyName>" + escape(name) + "</friendlyName>"
                      + (manufacturer ? "<manufacturer>" + escape(manufacturer) + "</manufacturer>" : "")
                      + (model ? "<modelName>" + escape(model) + "</modelName>" : "")
                      + "<UDN>uuid:" + path.replace(/\W/g, "") + "</UDN>"
                      + "<serviceList><service>"
                      + "<serviceType>urn:schemas-upnp-org:service:AVTransport:1</serviceType>"
                      + "<controlURL>/avt</controlURL></service></serviceList>"
                      + "</device></root>\n")
        return TestKit.url(path)
    }

    // Adds a renderer as a user does: DLNA chosen, its description URL typed, then Add.
    function addRenderer(url) {
        pick(ctl("typeBox"), 2)
        type(ctl("addressField"), url)
        click(ctl("addButton"))
    }

    // A stored setting as text: the store may hand back a bool, a number or a list as written, or as read
    // back from its file.
    function stored(key) {
        const value = TestKit.settingsValue("cast/" + key)
        return value === undefined || value === null ? "" : String(value)
    }

    function isAccent(button) {
        return button.accent && Qt.colorEqual(button.background.color, "#ff5b22")
    }

    function test_receiverRows_data() {
        return [
            { tag: "with a model", name: "Living Room TV", manufacturer: "Acme", model: "Renderer 2",
              detail: "DLNA · 127.0.0.1 · Acme Renderer 2 · added by hand", viaReturn: false },
            { tag: "without a model", name: "Attic", manufacturer: "", model: "",
              detail: "DLNA · 127.0.0.1 · added by hand", viaReturn: true },
            { tag: "markup in the name", name: "<img src=\"" + TestKit.url("/x") + "\">", manufacturer: "",
              model: "<b>Bold</b>", detail: "DLNA · 127.0.0.1 · <b>Bold</b> · added by hand", viaReturn: false },
        ]
    }

    // Added by address, listed with its details and Forget; the hint shows only while nothing is listed.
    function test_receiverRows(data) {
        const hint = ctl("emptyHint")
        const field = ctl("addressField")
        const box = ctl("typeBox")
        verify(hint.visible)
        verify(hint.text.startsWith("No receivers found yet. "))
        compare(field.placeholderText, "IP address, e.g. 192.168.1.20")

        const url = describe("/desc-" + data.tag.replace(/\W/g, "") + ".xml", data.name, data.manufacturer,
                             data.model)
        pick(box, 2)
        compare(box.currentText, "DLNA")
        compare(field.placeholderText, "Description URL, e.g. http://192.168.1.20:49152/description.xml")
        type(field, url)
        if (data.viaReturn)
            verify(TestKit.keyClick(field, Qt.Key_Return))
        else
            click(ctl("addButton"))
        compare(field.text, "")

        compare(findChild(row(data.name), "detailText").text, data.detail)
        compare(devices.length, 1)
        compare(devices[0].type, "dlna")
        verify(part(data.name, "forgetButton").visible)
        verify(!hint.visible)
        // Plain text: the name shows as typed, and fetches nothing while it shows.
        wait(200)

        click(part(data.name, "forgetButton"))
        tryCompare(testCase, "devices", [])
        verify(hint.visible)
        compare(stored("manual"), "")
        compare(TestKit.requestCount("/x"), 0)
    }

    // An address of spaces enables nothing, and Return in it adds nothing.
    function test_blankAddress() {
        const field = ctl("addressField")
        type(field, "   ")
        compare(field.text, "   ")
        verify(!ctl("addButton").enabled)
        verify(TestKit.keyClick(field, Qt.Key_Return))
        wait(100)
        compare(field.text, "   ")
        compare(Cast.diagnostics, [])
        // Refused addresses reach the session as typed; its answer goes to the log.
        field.clear()
        type(field, "  printer.example ")
        verify(ctl("addButton").enabled)
        click(ctl("addButton"))
        tryVerify(() => Cast.diagnostics.length === 1, 5000)
        verify(Cast.diagnostics[0].endsWith("  Enter an IP address on your local network"), Cast.diagnostics[0])
        tryCompare(ctl("logArea"), "text", Cast.diagnostics[0])
    }

    function test_alwaysConvert() {
        addRenderer(describe("/desc-convert.xml", "Kitchen", "Acme", "R1"))
        const check = part("Kitchen", "alwaysConvertCheck")
        const id = "dlna:uuid:descconvertxml"
        compare(devices[0].id, id)
        verify(!check.checked)
        click(check)
        verify(Cast.alwaysTranscode(id))
        compare(stored("alwaysTranscode"), id)
        click(part("Kitchen", "alwaysConvertCheck"))
        verify(!Cast.alwaysTranscode(id))
        compare(stored("alwaysTranscode"), "")
    }

    // While clip.mp4 plays, a cast to the AirPlay test receiver: its row turns into the active one.
    function test_castingRow() {
        Actions.trigger("playlist.add", TestKit.fixture("clip.mp4"))
        tryCompare(testCase, "playerState", MediaSessionBridge.Playing, 20000)
        addRenderer(describe("/desc-other.xml", "Bedroom", "", ""))
        row("Bedroom")
        pick(ctl("typeBox"), 1)
        type(ctl("addressField"), "127.0.0.1:" + airPlay.port)
        click(ctl("addButton"))
        const airPlayName = "AirPlay at 127.0.0.1"
        compare(findChild(row(airPlayName), "detailText").text, "AirPlay · 127.0.0.1 · added by hand")
        // Listed by name.
        compare(devices.map(d => d.name), [airPlayName, "Bedroom"])
        verify(!ctl("forceButton").enabled)
        for (const name of [airPlayName, "Bedroom"]) {
            compare(part(name, "castButton").text, "Cast")
            verify(isAccent(part(name, "castButton")))
            compare(row(name).border.width, 0)
        }

        click(part(airPlayName, "castButton"))
        tryVerify(() => Cast.active, 5000, "casting")
        tryCompare(testCase, "casting", true, 15000)
        compare(airPlay.requestCount("/server-info"), 1)
        const active = row(airPlayName)
        compare(part(airPlayName, "castButton").text, "Stop")
        verify(!part(airPlayName, "castButton").accent)
        compare(active.border.width, 1)
        verify(Qt.colorEqual(active.border.color, "#ff5b22"))
        verify(Qt.colorEqual(active.color, "#2a1d17"))
        compare(part("Bedroom", "castButton").text, "Cast")
        verify(isAccent(part("Bedroom", "castButton")))
        compare(row("Bedroom").border.width, 0)
        verify(Qt.colorEqual(row("Bedroom").color, "#1c1f26"))
        verify(ctl("forceButton").enabled)
        verify(TestKit.screenshot(win, "CastWindow") !== "")

        click(part(airPlayName, "castButton"))
        tryVerify(() => !Cast.active, 5000, "the cast ends")
        tryCompare(testCase, "casting", false)
        tryVerify(() => part(airPlayName, "castButton").text === "Cast")
        verify(isAccent(part(airPlayName, "castButton")))
        compare(row(airPlayName).border.width, 0)
        verify(!ctl("forceButton").enabled)
    }

    function test_settings() {
        // An unknown stored mode shows the first entry and stays stored while other settings change.
        const subtitles = ctl("subtitleBox")
        compare(Cast.subtitleMode, "karaoke")
        compare(subtitles.currentIndex, 0)
        compare(subtitles.currentText, "Send as text where possible, else burn in")

        const checks = [["enabledCheck", "enabled"], ["discoverCheck", "discoverOnStart"]]
        for (const [name, key] of checks) {
            const check = ctl(name)
            const was = Cast[key]
            compare(check.checked, was)
            click(check)
            compare(Cast[key], !was)
            compare(stored(key), String(!was))
            click(check)
            compare(Cast[key], was)
            compare(check.checked, was)
            compare(stored(key), String(was))
        }
        compare(stored("subtitleMode"), "karaoke")

        const modes = [[1, "burn"], [2, "off"], [0, "auto"]]
        for (const [index, mode] of modes) {
            pick(subtitles, index)
            compare(Cast.subtitleMode, mode)
            compare(stored("subtitleMode"), mode)
            compare(subtitles.currentIndex, index)
        }

        // Typed values land clamped to the range, in plain digits.
        const typed = [["bitrateBox", "150", 100, "maxBitrateMbps"], ["bitrateBox", "12", 12, "maxBitrateMbps"],
                       ["cacheBox", "30", 60, "cacheSeconds"], ["cacheBox", "9000", 3600, "cacheSeconds"]]
        for (const [name, text, value, key] of typed) {
            const box = ctl(name)
            box.contentItem.forceActiveFocus()
            box.contentItem.selectAll()
            verify(TestKit.keyClicks(box, text))
            verify(TestKit.keyClick(box, Qt.Key_Return))
            tryCompare(box, "value", value)
            compare(box.displayText, String(value))
            compare(Cast[key], value)
            compare(stored(key), String(value))
        }

        // The arrows (keys and the indicators) step the cache by 60.
        const cache = ctl("cacheBox")
        cache.contentItem.forceActiveFocus()
        verify(TestKit.keyClick(cache, Qt.Key_Down))
        compare(Cast.cacheSeconds, 3540)
        compare(cache.displayText, "3540")
        mouseClick(cache.down.indicator)
        compare(Cast.cacheSeconds, 3480)
        mouseClick(cache.up.indicator)
        compare(Cast.cacheSeconds, 3540)
        compare(stored("cacheSeconds"), "3540")
    }

    // Copy puts the whole log on the clipboard and leaves nothing selected; an error of the receiver shows
    // in red; Clear empties the log.
    function test_log() {
        airPlay.dropRequests("/server-info", true)
        pick(ctl("typeBox"), 1)
        type(ctl("addressField"), "127.0.0.1:" + airPlay.port)
        click(ctl("addButton"))
        click(part("AirPlay at 127.0.0.1", "castButton"))
        const error = ctl("errorText")
        tryVerify(() => error.visible, 20000, "the failure shows")
        compare(error.text, "AirPlay at 127.0.0.1 did not answer")
        compare(Cast.lastError, error.text)
        verify(Qt.colorEqual(error.color, "#f87171"))
        verify(!Cast.active)

        const log = ctl("logArea")
        verify(Cast.diagnostics.length >= 2)
        tryCompare(log, "text", Cast.diagnostics.join("\n"))
        verify(/^\d\d:\d\d:\d\d  Connecting to AirPlay at 127\.0\.0\.1 /.test(log.text), log.text)
        Clipboard.setText("stale")
        click(ctl("copyButton"))
        compare(log.selectedText, "")
        pasteBox.text = ""
        pasteBox.paste()
        compare(pasteBox.text, log.text)

        click(ctl("clearButton"))
        compare(Cast.diagnostics, [])
        compare(log.text, "")
        click(ctl("copyButton"))
        compare(log.selectedText, "")
        pasteBox.text = "before"
        pasteBox.cursorPosition = pasteBox.length
        pasteBox.paste()
        compare(pasteBox.text, "before")
    }

    // Requests from another process at about 40 a second, half of them 404s and half byte ranges of the media
    // being cast; true once all have been answered.
    function flood(media, count) {
        const base = media.replace(/\/[^/]*$/, "")
        const host = media.replace(/^(http:\/\/[^/]+).*$/, "$1")
        const done = "\"$XDG_RUNTIME_DIR/flood-done\""
        verify(TestKit.run("rm -f " + done) === 0)
        const half = count / 2
        verify(TestKit.run("(curl -s --rate 20/s -o /dev/null '" + host + "/nosuchtoken/x[1-" + half + "]' & "
                           + "curl -s --rate 20/s -r 0-65535 -o /dev/null '" + base + "/m[1-" + half + "].mp4' & "
                           + "wait; touch " + done + ") >/dev/null 2>&1 &") === 0)
        tryVerify(() => TestKit.run("test -f " + done) === 0, 120000, "the requests are answered")
    }

    // 400 requests while a cast runs and the window is hidden: the session announces its log at most once per
    // quarter second, and the hidden window's text is not touched until it opens again, once.
    function test_requestFlood() {
        Actions.trigger("playlist.add", TestKit.fixture("clip.mp4"))
        tryCompare(testCase, "playerState", MediaSessionBridge.Playing, 20000)
        pick(ctl("typeBox"), 1)
        type(ctl("addressField"), "127.0.0.1:" + airPlay.port)
        click(ctl("addButton"))
        click(part("AirPlay at 127.0.0.1", "castButton"))
        tryCompare(testCase, "casting", true, 15000)
        let media = ""
        tryVerify(() => {
            const found = /Loading (http:\/\/127\.0\.0\.1:\d+\/[0-9a-f]{32}\/media\.\w+) on the receiver/
                .exec(Cast.diagnostics.join("\n"))
            media = found ? found[1] : ""
            return media !== ""
        }, 20000, "the media is published")

        const log = ctl("logArea")
        win.close()
        tryCompare(win, "visible", false)
        logTextSpy.target = log
        logTextSpy.clear()
        announcedAt = []
        flood(media, 400)
        tryVerify(() => Cast.diagnostics.filter(l => / -> (200|206|404)/.test(l)).length === 300, 5000, "the log holds them")
        // The last lines are announced too, within the interval.
        wait(300)
        const times = announcedAt
        verify(times.length >= 2, times.length)
        // Each time is read in the handler, which a loaded machine can run late (a stall or a collection before it);
        // the count below holds the rate itself.
        for (let i = 1; i < times.length; ++i)
            verify(times[i] - times[i - 1] >= 200, "announced " + (times[i] - times[i - 1]) + " ms apart")
        verify(times.length <= (times[times.length - 1] - times[0]) / 250 + 1, times.length)
        compare(logTextSpy.count, 0, "the hidden window's log is left alone")

        win.openWindow()
        tryCompare(win, "visible", true)
        // The window learns that it shows a little after its visible property says so.
        tryCompare(logTextSpy, "count", 1)
        wait(50)
        compare(logTextSpy.count, 1)
        compare(log.text, Cast.diagnostics.join("\n"))

        // Shown, the log follows each announcement.
        logTextSpy.clear()
        announcedAt = []
        flood(media, 40)
        wait(300)
        compare(logTextSpy.count, announcedAt.length)
        compare(log.text, Cast.diagnostics.join("\n"))
        logTextSpy.target = null
    }
}
