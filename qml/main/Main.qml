import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Window
import Kestrune.MediaPlayer

// The player's main window: the stage with the picture and, under it, the transport bar. It keeps no media
// state of its own; what it shows comes from Player, what the user does goes to Player or Actions. Its parts
// (menu bar, stage, transport bar, shortcuts, other windows) are files of their own, each given the window as
// its host: they reach one another only through the window's properties and functions.
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
    readonly property alias osd: stage.osd
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
        return stage.menu.opened || transportBar.menuOpen
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
        librarySidebar.currentKey = on ? stage.libraryView.currentKey : "nowplaying"
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
                stage.libraryView.open(params, title)
                stage.libraryView.currentKey = key
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

            MainStage {
                id: stage
                host: root
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.bottom: bottomArea.top
                // In full screen the transport bar floats over the picture's bottom: subtitles rise above it while
                // it shows.
                subtitleBottomInset: transportBar.hiding ? 0 : Math.max(0, transportBar.height - transportSlot.height)
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

    // The other windows and dialogs, made the first time they are asked for.
    MainWindows {
        id: windows
        host: root
    }
}
