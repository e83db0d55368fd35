import QtQuick
import QtQuick.Controls
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's casting side and the tools row: the cast menu and button, the subtitle and speed buttons,
// muting while casting, the timecode badge and the casting screen. The player is the real one; the receiver
// is the cast double, attached to it when a test casts.
TestCase {
    id: testCase
    name: "MainCast"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening
    readonly property bool boundCasting: Player.casting

    readonly property var twoReceivers: [
        { id: "tv", name: "Living Room", type: "chromecast", active: false },
        { id: "hifi", name: "Hi-Fi & Co", type: "dlna", active: false },
    ]

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
    }

    function cleanup() {
        Cast.detach(false)
        Cast.enabled = true
        Cast.devices = []
        Cast.active = false
        Cast.busy = false
        Cast.deviceName = ""
        Cast.mode = ""
        Cast.status = ""
        Cast.remoteState = 0
        Cast.remoteVolume = 1
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening, 15000, "the player stops")
        Player.muted = false
        if (Math.abs(Player.speed - 1) > 0.001)
            Player.speed = 1
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
        const object = findChild(window.contentItem, name) || findChild(window, name)
        verify(object !== null, name)
        // A window made on first use is reached through its stand-in, which makes it.
        return object.sourceComponent !== undefined && object.get ? object.get() : object
    }

    // Makes the transport bar exactly barWidth wide; with the side panels off, the bar spans the window.
    function resizeBar(window, barWidth) {
        window.libraryVisible = false
        window.playlistVisible = false
        window.minimumWidth = 0
        window.width = barWidth
        tryCompare(part(window, "transportBar"), "width", barWidth)
    }

    function play(name) {
        Actions.trigger("playlist.add", TestKit.fixture(name))
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
    }

    // Hands the player to the double as a connected receiver named name.
    function castTo(name) {
        Cast.devices = [{ id: "tv", name: name, type: "chromecast", active: true }]
        Cast.deviceName = name
        Cast.active = true
        Cast.remoteState = MediaSessionBridge.Playing
        Cast.attach()
        tryCompare(testCase, "boundCasting", true)
    }

    // One line per entry as the menu draws it: "name|enabled|marked", "-" for a separator.
    function entries(menu) {
        const lines = []
        for (let i = 0; i < menu.count; ++i) {
            const item = menu.itemAt(i)
            lines.push(item.marked === undefined ? "-" : [findChild(item, "entryName").text, item.enabled ? 1 : 0,
                                                          item.marked ? 1 : 0].join("|"))
        }
        return lines
    }

    function entry(menu, name) {
        for (let i = 0; i < menu.count; ++i) {
            const item = menu.itemAt(i)
            if (item.marked !== undefined && findChild(item, "entryName").text === name)
                return item
        }
        fail("no entry " + name)
    }

    function menuCalls(since) {
        return Cast.calls.slice(since).filter(c => c.startsWith("setMenuOpen")).join()
    }

    // Holds the pointer over item until condition holds: a window another test process opens meanwhile can
    // take the hover away.
    function hoverUntil(item, condition) {
        tryVerify(() => {
            mouseMove(item, item.width / 2, item.height / 2)
            return condition()
        }, 10000, "shown under the pointer")
    }

    // Where an item's top left lies in the window.
    function scenePos(item) {
        return item.mapToItem(null, 0, 0)
    }

    // ---- the cast menu

    function test_castMenuEntries_data() {
        const tail = ["-", "Add Receiver by Address...|1|0", "Cast Settings & Diagnostics...|1|0"]
        return [
            { tag: "no receiver", devices: [], active: false,
              lines: ["Not casting|0|0", "-", "Searching for receivers…|1|0"].concat(tail) },
            { tag: "one receiver", devices: [twoReceivers[0]], active: false,
              lines: ["Not casting|0|0", "-", "Living Room   ·  Cast v2|1|0", "Search Again|1|0"].concat(tail) },
            { tag: "two receivers", devices: twoReceivers, active: false,
              lines: ["Not casting|0|0", "-", "Living Room   ·  Cast v2|1|0", "Hi-Fi & Co   ·  DLNA|1|0",
                      "Search Again|1|0"].concat(tail) },
            { tag: "casting", devices: [twoReceivers[0], Object.assign({}, twoReceivers[1], { active: true })],
              active: true,
              lines: ["Stop Casting to Hi-Fi & Co|1|0", "-", "Living Room   ·  Cast v2|1|0",
                      "Hi-Fi & Co   ·  DLNA|1|1", "Search Again|1|0"].concat(tail) },
            { tag: "other types", devices: [{ id: "a", name: "Den", type: "airplay", active: false },
                                            { id: "b", name: "Attic", type: "miracast", active: false }],
              active: false,
              lines: ["Not casting|0|0", "-", "Den   ·  AirPlay|1|0", "Attic   ·  miracast|1|0",
                      "Search Again|1|0"].concat(tail) },
        ]
    }

    function test_castMenuEntries(data) {
        const window = createMain()
        const menu = part(window, "castMenu")
        Cast.devices = data.devices
        Cast.active = data.active
        Cast.deviceName = data.active ? "Hi-Fi & Co" : ""
        compare(entries(menu).join("\n"), data.lines.join("\n"))
        // The entries follow the list while the menu stays.
        Cast.devices = []
        Cast.active = false
        compare(entries(menu).slice(0, 3).join("\n"), "Not casting|0|0\n-\nSearching for receivers…|1|0")
    }

    // The stop and search entries call the session; the start of a receiver waits for the next turn.
    function test_castMenuChoices() {
        const window = createMain()
        const menu = part(window, "castMenu")
        const button = part(window, "castButton")
        Cast.devices = twoReceivers
        mouseClick(button)
        tryCompare(menu, "opened", true)
        const hifi = entry(menu, "Hi-Fi & Co   ·  DLNA")
        const before = Cast.calls.length
        hifi.action.trigger()
        compare(Cast.calls.slice(before).filter(c => c.startsWith("start")).length, 0, "started at once")
        tryCompare(menu, "visible", false)
        tryVerify(() => Cast.calls.slice(before).filter(c => c.startsWith("start")).join() === "start(hifi)")
        wait(100)
        compare(Cast.calls.slice(before).filter(c => c.startsWith("start")), ["start(hifi)"])

        // By the pointer, as the user does.
        mouseClick(button)
        tryCompare(menu, "opened", true)
        const mark = Cast.calls.length
        const living = entry(menu, "Living Room   ·  Cast v2")
        TestKit.waitForFrame(window.contentItem)
        mouseClick(living)
        tryCompare(menu, "visible", false)
        tryVerify(() => Cast.calls.slice(mark).includes("start(tv)"))
        compare(Cast.calls.slice(mark).filter(c => c.startsWith("start")), ["start(tv)"])

        Cast.active = true
        Cast.deviceName = "Living Room"
        for (const [name, call] of [["Search Again", "refresh()"], ["Stop Casting to Living Room", "stop()"]]) {
            menu.popup(button, 0, -menu.implicitHeight)
            tryCompare(menu, "opened", true)
            const from = Cast.calls.length
            entry(menu, name).action.trigger()
            tryCompare(menu, "visible", false)
            verify(Cast.calls.slice(from).includes(call), name)
        }
        Cast.active = false
        Cast.devices = []
        menu.popup(button, 0, -menu.implicitHeight)
        tryCompare(menu, "opened", true)
        const from = Cast.calls.length
        entry(menu, "Searching for receivers…").action.trigger()
        tryCompare(menu, "visible", false)
        verify(Cast.calls.slice(from).includes("refresh()"))
    }

    // Discovery asks while a receiver list is on screen: the menu's, or the cast window's opened from it.
    function test_castMenuDrivesDiscovery_data() {
        return [{ tag: "Add Receiver by Address..." }, { tag: "Cast Settings & Diagnostics..." }]
    }

    function test_castMenuDrivesDiscovery(data) {
        const window = createMain()
        const menu = part(window, "castMenu")
        const button = part(window, "castButton")
        const castWindow = part(window, "castWindow")
        let from = Cast.calls.length
        mouseClick(button)
        tryCompare(menu, "opened", true)
        compare(menuCalls(from), "setMenuOpen(true)")
        menu.close()
        tryCompare(menu, "visible", false)
        tryVerify(() => menuCalls(from) === "setMenuOpen(true),setMenuOpen(false)", 5000, menuCalls(from))

        from = Cast.calls.length
        mouseClick(button)
        tryCompare(menu, "opened", true)
        TestKit.waitForFrame(window.contentItem)
        mouseClick(entry(menu, data.tag))
        tryCompare(castWindow, "visible", true)
        tryCompare(menu, "visible", false)
        wait(100)
        const log = menuCalls(from).split(",")
        compare(log[0], "setMenuOpen(true)")
        compare(log[log.length - 1], "setMenuOpen(true)", log.join())
        castWindow.close()
        tryCompare(castWindow, "visible", false)
        tryVerify(() => menuCalls(from).endsWith("setMenuOpen(false)"))
    }

    // In full screen an open cast menu keeps the bar, and the button it hangs from, on screen.
    function test_castMenuKeepsTheControlsInFullScreen() {
        const window = createMain()
        const menu = part(window, "castMenu")
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        window.pokeControls()
        menu.popup(part(window, "castButton"), 0, -menu.implicitHeight)
        tryCompare(menu, "opened", true)
        verify(window.anyMenuOpen())
        wait(3500)
        verify(window.controlsShown)
        menu.close()
        tryCompare(menu, "visible", false)
        const closed = Date.now()
        tryCompare(window, "controlsShown", false, 6000)
        verify(Date.now() - closed <= 2500 + 1000, "hidden " + (Date.now() - closed) + " ms after closing")
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
    }

    // ---- the tools row

    function test_toolsRowByWidth_data() {
        return [
            { tag: "559", width: 559, subs: false, slider: false },
            { tag: "560", width: 560, subs: true, slider: false },
            { tag: "659", width: 659, subs: true, slider: false },
            { tag: "660", width: 660, subs: true, slider: true, sliderWidth: 56 },
            { tag: "759", width: 759, subs: true, slider: true, sliderWidth: 56 },
            { tag: "760", width: 760, subs: true, slider: true, sliderWidth: 90 },
            { tag: "900", width: 900, subs: true, slider: true, sliderWidth: 90 },
            { tag: "901", width: 901, subs: true, slider: true, sliderWidth: 90, name: true },
        ]
    }

    function test_toolsRowByWidth(data) {
        const window = createMain()
        resizeBar(window, data.width)
        window.playlistVisible = false
        castTo("A receiver whose name runs on and on, far past the room it is given")
        const tools = part(window, "toolsRow")
        const cast = part(window, "castButton")
        const name = part(window, "castName")
        compare(part(window, "subsButton").visible, data.subs)
        compare(part(window, "speedButton").visible, data.subs)
        compare(part(window, "volSlider").visible, data.slider)
        verify(cast.visible)
        compare(name.visible, !!data.name)
        // The name is cut at 140 px, and the button grows by it.
        const castWidth = data.name ? 18 + 6 + 140 + 12 : 30
        if (data.name) {
            compare(name.width, 140)
            verify(name.truncated)
        }
        tryCompare(cast, "width", castWidth)
        const widths = [28, castWidth, 28, 28].concat(data.subs ? [30, 40] : [])
                                              .concat(data.slider ? [data.sliderWidth] : [])
        const expected = widths.reduce((a, b) => a + b, 0) + 4 * (widths.length - 1)
        tryCompare(tools, "width", expected)
        tryCompare(tools, "x", part(window, "bottomRow").width - expected)

        // Full screen gives the centre the room: no name, whatever the width.
        if (data.name) {
            window.toggleFullscreen()
            tryCompare(window, "fs", true)
            verify(!name.visible)
            tryCompare(cast, "width", 30)
            window.toggleFullscreen()
            tryCompare(window, "fs", false)
        }
        Cast.enabled = false
        verify(!cast.visible)
    }

    function test_castButtonStates_data() {
        const receivers = twoReceivers
        return [
            { tag: "no receiver", devices: [], active: false, opacity: 0.35,
              tip: "Cast — no receivers found yet" },
            { tag: "receivers", devices: receivers, active: false, opacity: 0.85, tip: "Cast to a TV or speaker" },
            { tag: "casting direct", devices: receivers, active: true, mode: "direct", opacity: 1, dot: "#ff5b22",
              tip: "Casting to Living Room" },
            { tag: "casting transcode", devices: receivers, active: true, mode: "transcode", opacity: 1,
              dot: "#f0b35b", tip: "Casting to Living Room" },
            { tag: "casting busy", devices: receivers, active: true, mode: "remux", busy: true, opacity: 1,
              dot: "#f0b35b", tip: "Casting to Living Room" },
        ]
    }

    function test_castButtonStates(data) {
        const window = createMain()
        Cast.devices = data.devices
        Cast.deviceName = data.active ? "Living Room" : ""
        Cast.mode = data.mode || ""
        Cast.busy = !!data.busy
        Cast.active = data.active
        const button = part(window, "castButton")
        compare(part(window, "castIcon").opacity, data.opacity)
        const dot = part(window, "castDot")
        compare(dot.visible, data.active)
        if (data.dot)
            verify(Qt.colorEqual(dot.color, data.dot), String(dot.color))
        const tip = part(window, "castToolTip")
        compare(tip.text, data.tip)
        hoverUntil(button, () => tip.opened)
        compare(tip.contentItem.text, data.tip)
        mouseMove(window.contentItem, 5, 5)
        tryCompare(tip, "visible", false, 5000)
    }

    function test_speedLabel_data() {
        return [
            { tag: "normal", speed: 1, text: "1×", color: "#9ca3af" },
            { tag: "faster", speed: 1.25, text: "1.25×", color: "#ff7a45" },
            { tag: "within a thousandth", speed: 1.0005, text: "1×", color: "#9ca3af" },
        ]
    }

    function test_speedLabel(data) {
        const window = createMain()
        play("tone6.mkv")
        Player.speed = data.speed
        tryVerify(() => Math.abs(Player.speed - data.speed) < 1e-9, 5000, String(Player.speed))
        const label = part(window, "speedLabel")
        compare(label.text, data.text)
        verify(Qt.colorEqual(label.color, data.color), String(label.color))
    }

    function test_subtitleBadge() {
        const window = createMain()
        play("multi.mkv")
        const badge = part(window, "ccBadge")
        tryVerify(() => Player.subtitleTracks.length > 0, 5000)
        Player.selectSubtitleTrack(Player.subtitleTracks[0].id)
        tryVerify(() => Qt.colorEqual(badge.border.color, "#ff7a45"), 5000, String(badge.border.color))
        Player.selectSubtitleTrack(-1)
        tryVerify(() => Qt.colorEqual(badge.border.color, "#9ca3af"), 5000, String(badge.border.color))
    }

    // Each menu hangs from its button's top edge (Qt may push it sideways to fit the window), and the
    // button's own tool tip keeps out of its way.
    function test_menusOpenAboveTheirButtons_data() {
        return [
            { tag: "subtitles", button: "subsButton", menu: "subsMenu" },
            { tag: "speed", button: "speedButton", menu: "speedMenu" },
            { tag: "cast", button: "castButton", menu: "castMenu" },
        ]
    }

    function test_menusOpenAboveTheirButtons(data) {
        const window = createMain()
        play("multi.mkv")
        Cast.devices = twoReceivers
        const button = part(window, data.button)
        const menu = part(window, data.menu)
        if (data.tag !== "cast")
            hoverUntil(button, () => button.ToolTip.visible)
        mouseClick(button)
        tryCompare(menu, "opened", true)
        TestKit.waitForFrame(window.contentItem)
        const menuTop = scenePos(menu.background)
        compare(Math.round(menuTop.y + menu.background.height), Math.round(scenePos(button).y))
        verify(menu.background.height > 50)
        // A receiver found while the menu is open makes it taller; it still hangs from the button.
        if (data.tag === "cast") {
            const height = menu.background.height
            Cast.devices = twoReceivers.concat([{ id: "den", name: "Den", type: "airplay", active: false }])
            tryVerify(() => menu.background.height > height)
            tryVerify(() => Math.round(scenePos(menu.background).y + menu.background.height)
                            === Math.round(scenePos(button).y), 5000, "bottom on the button")
        }
        if (data.tag !== "cast") {
            compare(button.ToolTip.visible, false)
            wait(800)
            compare(button.ToolTip.visible, false)
        }
        verify(window.anyMenuOpen())
        menu.close()
        tryCompare(menu, "visible", false)
        verify(!window.anyMenuOpen())
    }

    // The subtitle and speed menus belong to their buttons, and stay there when the bar hides them.
    function test_menusOutliveTheirHiddenButtons() {
        const window = createMain()
        resizeBar(window, 500)
        verify(!part(window, "subsButton").visible)
        const menu = part(window, "speedMenu")
        menu.popup(part(window, "speedButton"), 0, -menu.implicitHeight)
        tryCompare(menu, "opened", true)
        verify(window.anyMenuOpen())
        menu.close()
        tryCompare(menu, "visible", false)
    }

    // ---- muting while casting

    function test_muteWhileCasting() {
        const window = createMain()
        play("tone6.mkv")
        castTo("Living Room")
        Cast.remoteVolume = 0.7
        const osd = part(window, "osdText")
        const mute = part(window, "muteButton")
        const audioMenu = window.menuBar.menuAt(2)
        compare(audioMenu.title, "&Audio")
        const muteEntry = entry(audioMenu, "Mute")
        for (const [how, act] of [["button", () => mouseClick(mute)], ["menu", () => muteEntry.action.trigger()]]) {
            osd.text = ""
            const from = Cast.calls.length
            act()
            tryCompare(osd, "text", "Mute is not available while casting", 5000, how)
            compare(Player.muted, false, how)
            compare(Cast.remoteVolume, 0.7, how)
            compare(Cast.calls.slice(from).filter(c => c.startsWith("setVolume")).length, 0, how)
            compare(Player.volume, 0.7)
        }

        // A mute made before casting says nothing about the receiver, and shows again once it is let go.
        Cast.detach(false)
        tryCompare(testCase, "boundCasting", false)
        window.toggleMute()
        tryCompare(Player, "muted", true)
        const speaker = part(window, "speakerIcon")
        verify(speaker.silent)
        compare(mute.tip, "Unmute (M)")
        verify(muteEntry.marked)
        Cast.attach()
        tryCompare(testCase, "boundCasting", true)
        compare(speaker.silent, false)
        compare(mute.tip, "Mute (M)")
        compare(muteEntry.marked, false)
        Cast.detach(false)
        tryCompare(testCase, "boundCasting", false)
        verify(speaker.silent)
        compare(mute.tip, "Unmute (M)")
        verify(muteEntry.marked)
    }

    // ---- the timecode badge

    function test_timecodeBadge_data() {
        return [
            { tag: "audio", file: "tone6.mkv", videoLine: false },
            { tag: "video", file: "clip.mp4", videoLine: true, size: "320×240" },
            { tag: "no duration", file: "no-duration.mkv", videoLine: false, duration: "0:00:00" },
        ]
    }

    function test_timecodeBadge(data) {
        const window = createMain()
        const badge = part(window, "timecodeBadge")
        verify(!badge.visible)
        play(data.file)
        tryCompare(badge, "visible", true)
        const time = part(window, "timecodeText")
        verify(/^\d+:\d\d:\d\d  \/  \d+:\d\d:\d\d$/.test(time.text), time.text)
        if (data.duration)
            verify(time.text.endsWith("  /  " + data.duration), time.text)
        compare(part(window, "videoLine").visible, data.videoLine)
        if (data.videoLine) {
            compare(part(window, "videoSize").text, data.size)
            const label = part(window, "decoderLabel")
            compare(label.text, Player.usesHwDecode ? "HW · VA-API" : "SW")
            if (!Player.usesHwDecode)
                verify(Qt.colorEqual(label.color, "#9ca3af"))
        }
        window.toggleFullscreen()
        tryCompare(window, "fs", true)
        tryCompare(window, "controlsShown", false, 6000)
        verify(!badge.visible)
        window.pokeControls()
        verify(badge.visible)
        window.toggleFullscreen()
        tryCompare(window, "fs", false)
    }

    // ---- the casting screen

    function test_castingScreenStatusLine_data() {
        const states = [
            ["opening", MediaSessionBridge.Opening, "", "Loading…"],
            ["opening with status", MediaSessionBridge.Opening, "Buffering 40%", "Buffering 40%"],
            ["paused", MediaSessionBridge.Paused, "Buffering 40%", "Paused"],
            ["playing", MediaSessionBridge.Playing, "", "Playing"],
            ["error", MediaSessionBridge.Error, "", "Error"],
            ["prepared", MediaSessionBridge.Prepared, "", "Ready"],
        ]
        const modes = [["direct", "Playing the original file"], ["remux", "Repackaged stream (no quality loss)"],
                       ["transcode", "Converted stream"], ["", ""]]
        const rows = []
        for (const [stateTag, state, status, stateText] of states) {
            for (const [mode, modeText] of modes) {
                rows.push({ tag: stateTag + ", " + (mode || "no mode"), state: state, status: status, mode: mode,
                            line: modeText === "" ? stateText : stateText + "  ·  " + modeText,
                            color: mode === "transcode" ? "#f0b35b" : "#6b7079" })
            }
        }
        return rows
    }

    function test_castingScreenStatusLine(data) {
        const window = createMain()
        const screen = part(window, "castingScreen")
        verify(!screen.visible)
        castTo("Living Room")
        verify(screen.visible)
        Cast.mode = data.mode
        Cast.status = data.status
        Cast.remoteState = data.state
        tryCompare(testCase, "boundState", data.state)
        const line = part(window, "castingStatus")
        compare(line.text, data.line)
        verify(Qt.colorEqual(line.color, data.color), String(line.color))
        compare(part(window, "castingTitle").text, "Casting to Living Room")
        Cast.detach(false)
        tryCompare(screen, "visible", false)
    }

    function test_castingScreenButtonsAndStacking() {
        const window = createMain()
        play("clip.mp4")
        const badge = part(window, "timecodeBadge")
        const stage = badge.parent
        const badgeMiddle = badge.mapToItem(stage, badge.width / 2, badge.height / 2)
        compare(stage.childAt(badgeMiddle.x, badgeMiddle.y), badge)
        castTo("Living Room")
        Cast.remoteDurationUs = 6000000
        const screen = part(window, "castingScreen")
        compare(part(window, "castingFile").text, "clip.mp4")
        // The screen covers the badge, the library browser covers the screen, the message stays above both.
        verify(badge.visible)
        compare(stage.childAt(badgeMiddle.x, badgeMiddle.y), screen)
        window.showLibraryView(true)
        const library = part(window, "libraryView")
        tryCompare(library, "visible", true)
        compare(stage.childAt(badgeMiddle.x, badgeMiddle.y), library)
        Cast.sendNotice("Receiver connected")
        const osd = part(window, "osd")
        tryCompare(osd, "visible", true)
        const osdMiddle = osd.mapToItem(stage, osd.width / 2, osd.height / 2)
        compare(stage.childAt(osdMiddle.x, osdMiddle.y), osd)
        window.showLibraryView(false)
        compare(stage.childAt(osdMiddle.x, osdMiddle.y), osd)

        TestKit.waitForFrame(window.contentItem)
        const from = Cast.calls.length
        mouseClick(part(window, "stopCastingButton"))
        compare(Cast.calls.slice(from), ["stop()"])
        const castWindow = part(window, "castWindow")
        mouseClick(part(window, "castDiagnosticsButton"))
        tryCompare(castWindow, "visible", true)
        castWindow.close()
        tryCompare(castWindow, "visible", false)
    }

    // A receiver names itself: markup in its name is shown as typed and fetches nothing, wherever it shows.
    function test_receiverNameIsPlainText() {
        const window = createMain()
        TestKit.serve("/x", 200, "not an image")
        const name = "<img src=\"" + TestKit.url("/x") + "\">"
        resizeBar(window, 1000)
        castTo(name)
        const menu = part(window, "castMenu")
        const button = part(window, "castButton")
        mouseClick(button)
        tryCompare(menu, "opened", true)
        compare(findChild(menu.itemAt(0), "entryName").text, "Stop Casting to " + name)
        compare(findChild(menu.itemAt(2), "entryName").text, name + "   ·  Cast v2")
        TestKit.waitForFrame(window.contentItem)
        menu.close()
        tryCompare(menu, "visible", false)
        const castName = part(window, "castName")
        verify(castName.visible)
        compare(castName.text, name)
        const tip = part(window, "castToolTip")
        hoverUntil(button, () => tip.opened)
        compare(tip.contentItem.text, "Casting to " + name)
        compare(tip.contentItem.textFormat, Text.PlainText)
        compare(part(window, "castingTitle").text, "Casting to " + name)
        TestKit.waitForFrame(window.contentItem)
        wait(500)
        compare(TestKit.requestCount("/x"), 0)
    }

    // For looking at: the cast menu with two receivers, the casting screen converting, the whole tools row.
    function test_screenshots() {
        const window = createMain()
        play("clip.mp4")
        Player.pause()
        tryCompare(testCase, "boundState", MediaSessionBridge.Paused, 10000)
        Cast.devices = twoReceivers
        const menu = part(window, "castMenu")
        mouseClick(part(window, "castButton"))
        tryCompare(menu, "opened", true)
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "MainCastMenu") !== "")
        menu.close()
        tryCompare(menu, "visible", false)

        // The player refuses speed changes while casting.
        Player.speed = 1.25
        castTo("Living Room")
        Cast.mode = "transcode"
        Cast.remoteDurationUs = 6000000
        Cast.remotePositionUs = 2000000
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "MainCastingScreen") !== "")
        verify(TestKit.screenshot(part(window, "toolsRow"), "MainToolsRow") !== "")
    }
}
