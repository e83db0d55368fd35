import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Basic as BasicControls
import QtQuick.Layouts
import QtQuick.Templates as T
import QtQuick.Window
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The player's main window: the stage with the picture and, under it, the transport bar. It keeps no media
// state of its own; what it shows comes from Player, what the user does goes to Player or Actions.
ApplicationWindow {
    id: root

    width: 1280
    height: 720
    minimumWidth: 480
    minimumHeight: 320
    visible: true
    color: "#0a0b0d"
    flags: alwaysOnTop ? (Qt.Window | Qt.WindowStaysOnTopHint) : Qt.Window
    title: {
        if (typeof Player !== "undefined" && (Player.hasMedia || Player.isOpening) && Player.currentFile !== "") {
            const name = Player.mediaTitle !== "" ? Player.mediaTitle : basename(Player.currentFile)
            return name + " — Kestrune Media Player"
        }
        return "Kestrune Media Player"
    }

    // Inherited by the stock controls inside the window (tool tips now, dialogs later).
    palette.window: "#16181d"
    palette.windowText: "#e8eaed"
    palette.base: "#1c1f26"
    palette.alternateBase: "#22252c"
    palette.text: "#e8eaed"
    palette.button: "#2a2d33"
    palette.buttonText: "#e8eaed"
    palette.highlight: "#ff5b22"
    palette.highlightedText: "#ffffff"
    palette.placeholderText: "#5f646d"
    palette.mid: "#3a3d44"
    palette.dark: "#0e1014"
    // The veil a modal dialog lays over the window is this role at half strength: black, so it darkens.
    palette.shadow: "#000000"
    palette.light: "#3a3d44"
    palette.toolTipBase: "#2a2d33"
    palette.toolTipText: "#e8eaed"

    readonly property bool fs: visibility === Window.FullScreen
    // False only in a component test without the program's services.
    readonly property bool hasPlayer: typeof Player !== "undefined"
    property bool playlistVisible: true
    property bool libraryVisible: true
    // The library browser covers the stage; never kept, so every start shows the stage.
    property bool showLibrary: false
    property bool alwaysOnTop: false
    // Only ever false in full screen: the transport bar fades out after a while without pointer activity.
    property bool controlsShown: true
    property real aspectOverride: 0
    property int fillMode: VideoSink.Fit
    readonly property var speeds: [0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0, 4.0]
    readonly property var aspects: [[qsTr("Automatic"), 0], ["16:9", 16 / 9], ["4:3", 4 / 3], ["21:9", 21 / 9],
        ["2.35:1", 2.35], ["1.85:1", 1.85], ["5:4", 1.25], ["1:1", 1.0], ["9:16", 9 / 16]]
    readonly property var fillNames: [qsTr("Fit"), qsTr("Crop to fill"), qsTr("Stretch")]
    // The user let the conversions finish with the window hidden; the program quits once the queue is idle.
    // Cleared when the window shows again.
    property bool quitWhenIdle: false
    // The user confirmed quitting: the closing handler lets the window go.
    property bool forceQuit: false
    // Cancelled jobs are still ending; the program quits once none runs, or when cancelQuitTimer fires.
    property bool quitAfterCancel: false
    // Receiver types as the cast menu names them; another type shows as it comes.
    readonly property var castTypeNames: ({ chromecast: "Cast v2", airplay: "AirPlay", dlna: "DLNA" })
    // The parts of the window, for one another: a part reaches another only through these.
    readonly property alias windows: windows
    readonly property alias osd: osd
    readonly property alias sidebar: librarySidebar
    readonly property alias playlistPanel: playlistPanel

    // Full screen, the library browser and the controls' visibility are deliberately not kept: every start
    // shows the stage in a window.
    AppSettings {
        category: "ui"
        property alias playlistVisible: root.playlistVisible
        property alias libraryVisible: root.libraryVisible
        property alias alwaysOnTop: root.alwaysOnTop
        property alias aspectOverride: root.aspectOverride
        property alias fillMode: root.fillMode
    }

    // Only outside full screen: there the stage's menu and the transport bar's pop-ups take its place.
    menuBar: MainMenuBar {
        host: root
    }

    // H:MM:SS with the hour always present and unbounded; seconds are cut, not rounded.
    function fmtTime(us) {
        if (!(us > 0))
            return "0:00:00"
        const seconds = Math.floor(us / 1000000)
        const h = Math.floor(seconds / 3600)
        const m = Math.floor((seconds % 3600) / 60)
        const s = seconds % 60
        return h + ":" + (m < 10 ? "0" : "") + m + ":" + (s < 10 ? "0" : "") + s
    }

    // The display name of a playlist entry: a URL whole, a path (either separator) by its last component.
    function basename(path) {
        if (!path)
            return ""
        const text = String(path)
        if (text.indexOf("://") > 1)
            return text
        const cut = Math.max(text.lastIndexOf("\\"), text.lastIndexOf("/"))
        return cut >= 0 ? text.substring(cut + 1) : text
    }

    // Everything added from the desktop goes through the action, one entry per URL, in order; the player
    // expands folders and playlist files itself.
    function addUrls(urls) {
        for (let i = 0; i < urls.length; ++i)
            Actions.trigger("playlist.add", String(urls[i]))
    }

    // Leaving full screen always returns to a plain window, never to a maximised one.
    function toggleFullscreen() {
        visibility = visibility === Window.FullScreen ? Window.Windowed : Window.FullScreen
    }

    // Volume keys and the wheel move in whole per cent and never past 1, although the player takes up to 2.
    // A volume above 0 ends muting in the player itself.
    function changeVolume(delta) {
        if (typeof Player === "undefined")
            return
        const v = Math.max(0, Math.min(1, Math.round((Player.volume + delta) * 100) / 100))
        Player.volume = v
        osd.show(qsTr("Volume %1%").arg(Math.round(v * 100)))
    }

    // Moves to the neighbouring speed step; from between two steps, to the nearest one in that direction.
    // The player announces the new speed itself.
    function stepSpeed(dir) {
        if (typeof Player === "undefined")
            return
        const cur = Player.speed
        let idx = speeds.findIndex(s => Math.abs(s - cur) < 0.001)
        if (idx < 0) {
            idx = speeds.findIndex(s => s > cur)
            if (idx < 0)
                idx = speeds.length
            if (dir > 0)
                idx -= 1
        }
        idx = Math.max(0, Math.min(speeds.length - 1, idx + dir))
        Player.speed = speeds[idx]
    }

    // An aspect that matches no entry (an edited settings file) counts as standing before the first one.
    function cycleAspect() {
        const idx = aspects.findIndex(a => Math.abs(a[1] - aspectOverride) < 0.001)
        const next = aspects[(idx + 1) % aspects.length]
        aspectOverride = next[1]
        osd.show(qsTr("Aspect ratio: %1").arg(next[0]))
    }

    function cycleFill() {
        fillMode = (fillMode + 1) % 3
        osd.show(fillNames[fillMode])
    }

    function seekStepUs() {
        return (typeof Player !== "undefined" ? Player.seekStepSeconds : 5) * 1000000
    }

    function pokeControls() {
        controlsShown = true
        if (fs)
            hideTimer.restart()
    }

    // The bar, and the button a menu hangs from, stay while any of them is open.
    function anyMenuOpen() {
        return stageMenu.opened || transportBar.menuOpen
    }

    // Muting is local: while casting it would silence nothing the user hears, yet show the receiver as mute.
    function toggleMute() {
        if (typeof Player === "undefined")
            return
        if (Player.casting) {
            osd.show(qsTr("Mute is not available while casting"))
            return
        }
        Player.muted = !Player.muted
    }

    // The sidebar's highlight follows what covers the stage: the browser's view, or "Now Playing".
    function showLibraryView(on) {
        showLibrary = on
        librarySidebar.currentKey = on ? libraryView.currentKey : "nowplaying"
    }

    function openSubtitleDialog() {
        windows.subtitleDialog.open()
    }

    // The name filter's patterns in lower and upper case: the desktop's chooser matches them case-sensitively,
    // and cameras write "CLIP.MP4".
    function filePatterns(extensions) {
        return extensions.map(e => "*." + e + " *." + e.toUpperCase()).join(" ")
    }

    // The entry selected in the playlist, else the file playing when it is a local one; a stream or nothing
    // gives the dialog no source, but it opens.
    function openConvert() {
        const selected = playlistPanel.view.currentIndex
        if (hasPlayer && selected >= 0 && selected < Player.playlistCount) {
            windows.convertDialog.openWith([Player.playlist[selected]])
            return
        }
        const file = hasPlayer ? Player.currentFile : ""
        windows.convertDialog.openWith(file !== "" && file.indexOf("://") < 0 ? [file] : [])
    }

    onFsChanged: {
        controlsShown = true
        if (fs)
            hideTimer.restart()
        else
            hideTimer.stop()
    }

    Timer {
        id: hideTimer
        interval: 2500
        onTriggered: {
            if (!root.fs)
                return
            // Never hide under the pointer or an open menu; look again later instead.
            if (transportBar.hovered || root.anyMenuOpen())
                restart()
            else
                root.controlsShown = false
        }
    }

    MainShortcuts {
        host: root
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        LibrarySidebar {
            id: librarySidebar
            objectName: "librarySidebar"
            readonly property bool shown: root.libraryVisible && !root.fs
            Layout.preferredWidth: shown ? 220 : 0
            Layout.fillHeight: true
            visible: shown
            onNavigate: (params, title, key) => {
                libraryView.open(params, title)
                libraryView.currentKey = key
                root.showLibraryView(true)
            }
            onShowNowPlaying: root.showLibraryView(false)
            onManageFolders: windows.librarySettings.openWindow()
        }

        // Anchored, not a column layout: leaving full screen, Qt 6.4's column layout sometimes missed the bottom
        // area's new height, which changes while the window is resized.
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            Item {
                id: stage
                objectName: "stage"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.bottom: bottomArea.top
                clip: true

                Rectangle {
                    anchors.fill: parent
                    color: "#000000"
                }

                VideoSink {
                    id: videoSink
                    objectName: "videoSink"
                    anchors.fill: parent
                    aspectOverride: root.aspectOverride
                    fillMode: root.fillMode
                    // In full screen the transport bar floats over the picture's bottom: subtitles rise above it
                    // while it shows.
                    subtitleBottomInset: transportBar.hiding ? 0 : Math.max(0, transportBar.height - transportSlot.height)
                    // Without the application (a component test), the sink shows nothing.
                    bridge: typeof Player !== "undefined" ? Player : null
                }

                AudioView {
                    id: audioView
                    objectName: "audioView"
                    anchors.fill: parent
                }

                // Only drags that carry a URI list get here; whatever they hold goes to the play queue as it is.
                DropArea {
                    id: dropArea
                    objectName: "dropArea"
                    anchors.fill: parent
                    z: 5
                    keys: ["text/uri-list"]
                    onEntered: drag => drag.accept()
                    onDropped: drop => {
                        if (!drop.hasUrls)
                            return
                        root.addUrls(drop.urls)
                        drop.accept()
                    }

                    Rectangle {
                        objectName: "dropHighlight"
                        anchors.fill: parent
                        color: "transparent"
                        border.color: "#ff5b22"
                        border.width: dropArea.containsDrag ? 3 : 0
                        visible: dropArea.containsDrag
                    }
                }

                // Beneath everything on the stage: what does not take the pointer lets it through to here.
                MouseArea {
                    id: stageMouse
                    objectName: "stageMouse"
                    anchors.fill: parent
                    z: -1
                    acceptedButtons: Qt.LeftButton | Qt.RightButton
                    hoverEnabled: true
                    cursorShape: root.fs && !root.controlsShown ? Qt.BlankCursor : Qt.ArrowCursor

                    // In window coordinates: Qt Quick replays the resting pointer whenever the picture changes,
                    // and the stage may move under it; neither is activity.
                    property point lastScenePos: Qt.point(-1, -1)
                    readonly property alias clickInterval: clickTimer.interval

                    onPositionChanged: mouse => {
                        const p = mapToItem(null, mouse.x, mouse.y)
                        if (p.x === lastScenePos.x && p.y === lastScenePos.y)
                            return
                        lastScenePos = p
                        root.pokeControls()
                    }
                    // A single click takes effect only once it cannot become a double-click any more.
                    onClicked: mouse => {
                        if (mouse.button === Qt.LeftButton)
                            clickTimer.restart()
                        else if (mouse.button === Qt.RightButton)
                            stageMenu.popup(stageMouse, mouse.x, mouse.y)
                    }
                    onDoubleClicked: mouse => {
                        if (mouse.button !== Qt.LeftButton)
                            return
                        clickTimer.stop()
                        root.toggleFullscreen()
                    }
                    // One step per event, whatever its size; anything but a turn upwards lowers.
                    onWheel: wheel => root.changeVolume(wheel.angleDelta.y > 0 ? 0.05 : -0.05)

                    Timer {
                        id: clickTimer
                        objectName: "clickTimer"
                        interval: Qt.styleHints.mouseDoubleClickInterval
                        onTriggered: Actions.trigger("playback.toggle")
                    }
                }

                IdleScreen {
                    objectName: "idleScreen"
                    anchors.centerIn: parent
                    stageWidth: stage.width
                    stageHeight: stage.height
                }

                Column {
                    objectName: "openingIndicator"
                    anchors.centerIn: parent
                    spacing: 10
                    visible: typeof Player !== "undefined" && Player.isOpening

                    BasicControls.BusyIndicator {
                        objectName: "busyIndicator"
                        anchors.horizontalCenter: parent.horizontalCenter
                        width: 40
                        height: 40
                        running: parent.visible
                        // The style draws its dots in the palette's dark role, which on this window is nearly
                        // the stage's black.
                        palette.dark: "#9ca3af"
                    }
                    // A file by its name, a stream by its whole URL; either comes from outside.
                    Text {
                        objectName: "openingText"
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: qsTr("Opening %1…").arg(root.basename(typeof Player !== "undefined" ? Player.currentFile : ""))
                        textFormat: Text.PlainText
                        color: "#9ca3af"
                        font.family: "Segoe UI"
                        font.pixelSize: 12
                    }
                }

                // Over a paused picture only; audio has its own view.
                Rectangle {
                    objectName: "pauseGlyph"
                    anchors.centerIn: parent
                    width: 96
                    height: 96
                    radius: width / 2
                    color: "#a0000000"
                    border.color: "#ff5b22"
                    border.width: 2
                    opacity: 0.85
                    visible: typeof Player !== "undefined" && Player.state === MediaSessionBridge.Paused
                             && Player.hasVideo

                    Row {
                        anchors.centerIn: parent
                        spacing: 8
                        Rectangle { width: 8; height: 32; color: "#e8eaed"; anchors.verticalCenter: parent.verticalCenter }
                        Rectangle { width: 8; height: 32; color: "#e8eaed"; anchors.verticalCenter: parent.verticalCenter }
                    }
                }

                StateChip {
                    objectName: "stateChip"
                    anchors.top: parent.top
                    anchors.left: parent.left
                    anchors.topMargin: 14
                    anchors.leftMargin: 14
                    controlsShown: root.controlsShown
                }

                // In full screen the transport bar floats over the stage's bottom: the overlay stays above it.
                PerformanceOverlay {
                    id: hudPanel
                    objectName: "hudPanel"
                    anchors.bottom: parent.bottom
                    anchors.left: parent.left
                    anchors.bottomMargin: root.fs ? 90 : 14
                    anchors.leftMargin: 14
                }

                TimecodeBadge {
                    objectName: "timecodeBadge"
                    anchors.top: parent.top
                    anchors.right: parent.right
                    anchors.topMargin: 14
                    anchors.rightMargin: 14
                    host: root
                }

                // Over the picture and every overlay above but the library browser and the on-screen message.
                CastingScreen {
                    objectName: "castingScreen"
                    anchors.fill: parent
                    z: 14
                    host: root
                    onDiagnosticsRequested: windows.castWindow.openWindow()
                }

                // Over the picture and the casting screen, under the on-screen message; never in full screen.
                LibraryView {
                    id: libraryView
                    objectName: "libraryView"
                    // The sidebar entry whose view this shows, highlighted again when the browser comes back.
                    property string currentKey: "tracks"
                    anchors.fill: parent
                    z: 15
                    visible: root.showLibrary && !root.fs
                    onPlayedVideo: root.showLibraryView(false)
                    onEditRequested: ids => windows.libraryEdit.openFor(ids)
                    onConvertRequested: uris => windows.convertDialog.openWith(uris)
                    onManageFolders: windows.librarySettings.openWindow()
                }

                OnScreenMessage {
                    id: osd
                    objectName: "osd"
                    anchors.top: parent.top
                    anchors.topMargin: 14
                    anchors.horizontalCenter: parent.horizontalCenter
                    z: 20
                    stageWidth: stage.width
                }
            }

            // The transport bar and, under it, the status bar.
            Item {
                id: bottomArea
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                height: transportSlot.height + statusBar.height
                z: 10

                Item {
                    id: transportSlot
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.top: parent.top
                    height: root.fs ? 0 : 64

                    TransportBar {
                        id: transportBar
                        host: root
                        anchors.left: parent.left
                        anchors.right: parent.right
                        anchors.bottom: parent.bottom
                    }
                }

                StatusBar {
                    id: statusBar
                    host: root
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.top: transportSlot.bottom
                }
            }
        }

        PlaylistPanel {
            id: playlistPanel
            host: root
            onAddFilesRequested: windows.openDialog.open()
            onAddFolderRequested: windows.folderDialog.open()
            onSaveRequested: windows.savePlaylistDialog.open()
            onConvertRequested: files => windows.convertDialog.openWith(files)
        }
    }

    // The stage's context menu: what the menu bar offers most often, also in full screen where the bar is gone.
    AppMenu {
        id: stageMenu
        objectName: "stageMenu"

        Action {
            text: root.hasPlayer && Player.state === MediaSessionBridge.Playing ? qsTr("Pause\tSpace")
                                                                                  : qsTr("Play\tSpace")
            enabled: root.hasPlayer && (Player.hasMedia || Player.playlistCount > 0)
            onTriggered: Actions.trigger("playback.toggle")
        }
        Action {
            text: qsTr("Stop")
            enabled: root.hasPlayer && Player.hasMedia
            onTriggered: Actions.trigger("playback.stop")
        }
        Action {
            text: qsTr("Previous\tPgUp")
            enabled: root.hasPlayer && Player.playlistCount > 0
            onTriggered: Actions.trigger("playlist.previous")
        }
        Action {
            text: qsTr("Next\tPgDn")
            enabled: root.hasPlayer && Player.playlistCount > 1
            onTriggered: Actions.trigger("playlist.next")
        }
        MenuSep {}
        AudioTrackMenu {}
        SubtitleTrackMenu {
            host: root
        }
        SpeedMenu {
            host: root
        }
        AspectMenu {
            host: root
        }
        MenuSep {}
        Action {
            text: root.fs ? qsTr("Leave Fullscreen\tEsc") : qsTr("Fullscreen\tF11")
            onTriggered: root.toggleFullscreen()
        }
        SelAction {
            text: qsTr("Always on Top\tCtrl+T")
            selected: root.alwaysOnTop
            onTriggered: root.alwaysOnTop = !root.alwaysOnTop
        }
        Action {
            text: qsTr("Take Snapshot\tShift+S")
            enabled: root.hasPlayer && Player.hasVideo
            onTriggered: Player.saveSnapshot()
        }
        Action {
            text: qsTr("Media Information...\tCtrl+I")
            enabled: root.hasPlayer && Player.hasMedia
            onTriggered: windows.infoDialog.open()
        }
        MenuSep {}
        Action {
            text: qsTr("Open Files...\tCtrl+O")
            onTriggered: windows.openDialog.open()
        }
    }

    // The other windows and dialogs, made the first time they are asked for.
    MainWindows {
        id: windows
        host: root
    }

    // The services' short messages all end in the one on-screen message. Without the program's services (a
    // component test) there is nothing to listen to.
    Connections {
        target: typeof Cast !== "undefined" ? Cast : null
        function onNotice(text) {
            osd.show(text)
        }
    }

    Connections {
        target: typeof Library !== "undefined" ? Library : null
        function onNotice(text) {
            osd.show(text)
        }
    }
}
