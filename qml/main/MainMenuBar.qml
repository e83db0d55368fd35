import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The main window's menu bar: File, Playback, Audio, Video, Subtitles, View and Help. Only outside full screen:
// there the stage's menu and the transport bar's pop-ups take its place. Its key texts are labels; the keys
// themselves are the window's shortcuts.
MenuBar {
    id: appMenuBar
    objectName: "menuBar"

    // The main window: its state, its commands and its other windows.
    required property var host

    visible: !host.fs
    height: host.fs ? 0 : implicitHeight

    Component.onCompleted: MenuBarState.watch(appMenuBar)

    background: Rectangle {
        color: "#16181d"
        Rectangle {
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            height: 1
            color: "#22252c"
        }
    }

    delegate: MenuBarItem {
        id: mbi
        hoverEnabled: true
        contentItem: Text {
            objectName: "menuTitle"
            text: MenuText.name(mbi.text)
            textFormat: Text.PlainText
            color: mbi.highlighted ? "#e8eaed" : "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 12
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            implicitWidth: 60
            implicitHeight: 24
            radius: 3
            color: mbi.highlighted ? "#232730" : "transparent"
        }
    }

    AppMenu {
        objectName: "fileMenu"
        title: qsTr("&File")

        Action {
            text: qsTr("&Open Files...\tCtrl+O")
            icon.source: "icons/open.svg"
            onTriggered: host.windows.openDialog.open()
        }
        Action {
            text: qsTr("Open &Folder...\tCtrl+Shift+O")
            icon.source: "icons/folder.svg"
            onTriggered: host.windows.folderDialog.open()
        }
        Action {
            text: qsTr("Open &Network Stream...\tCtrl+U")
            icon.source: "icons/stream.svg"
            onTriggered: host.windows.urlDialog.open()
        }
        AppMenu {
            id: recentMenu
            objectName: "recentMenu"
            title: qsTr("Open &Recent")
            enabled: host.hasPlayer && Player.recentFiles.length > 0

            // A recent file that has gone leaves the list, which the player changes on the next turn.
            Instantiator {
                model: host.hasPlayer ? Player.recentFiles : []
                delegate: Action {
                    readonly property string path: modelData !== undefined ? modelData : ""
                    text: (index < 9 ? (index + 1) + "  " : "") + MenuText.literal(host.basename(path))
                    onTriggered: {
                        const chosen = path
                        Qt.callLater(() => Player.openRecent(chosen))
                    }
                }
                onObjectAdded: (index, object) => recentMenu.insertAction(index, object)
                onObjectRemoved: (index, object) => recentMenu.removeAction(object)
            }
            MenuSep {}
            Action {
                text: qsTr("Clear Recent Files")
                onTriggered: Player.clearRecentFiles()
            }
        }
        MenuSep {}
        Action {
            text: qsTr("Con&vert / Save...\tCtrl+R")
            icon.source: "icons/convert.svg"
            onTriggered: host.openConvert()
        }
        Action {
            text: qsTr("Conversion &Queue...")
            onTriggered: host.windows.queueWindow.openWindow()
        }
        MenuSep {}
        Action {
            text: qsTr("&Save Playlist...\tCtrl+S")
            icon.source: "icons/save.svg"
            enabled: host.hasPlayer && Player.playlistCount > 0
            onTriggered: host.windows.savePlaylistDialog.open()
        }
        MenuSep {}
        Action {
            text: qsTr("&Close\tCtrl+W")
            icon.source: "icons/close.svg"
            enabled: host.hasPlayer && (Player.hasMedia || Player.isOpening)
            onTriggered: Actions.trigger("playback.stop")
        }
        MenuSep {}
        Action {
            objectName: "exitAction"
            text: qsTr("E&xit\tCtrl+Q")
            icon.source: "icons/exit.svg"
            onTriggered: Qt.quit()
        }
    }

    AppMenu {
        objectName: "playbackMenu"
        title: qsTr("&Playback")

        Action {
            text: qsTr("Play / Pause\tSpace")
            icon.source: "icons/play.svg"
            enabled: host.hasPlayer && (Player.hasMedia || Player.playlistCount > 0)
            onTriggered: Actions.trigger("playback.toggle")
        }
        Action {
            text: qsTr("Stop")
            icon.source: "icons/stop.svg"
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: Actions.trigger("playback.stop")
        }
        MenuSep {}
        Action {
            text: qsTr("&Previous\tPgUp")
            icon.source: "icons/previous.svg"
            enabled: host.hasPlayer && Player.playlistCount > 0
            onTriggered: Actions.trigger("playlist.previous")
        }
        Action {
            text: qsTr("&Next\tPgDn")
            icon.source: "icons/next.svg"
            enabled: host.hasPlayer && Player.playlistCount > 1
            onTriggered: Actions.trigger("playlist.next")
        }
        MenuSep {}
        Action {
            text: qsTr("Jump Forward\t→")
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: Player.seekRelative(host.seekStepUs())
        }
        Action {
            text: qsTr("Jump Back\t←")
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: Player.seekRelative(-host.seekStepUs())
        }
        Action {
            text: qsTr("Next Frame\t.")
            enabled: host.hasPlayer && Player.hasVideo
            onTriggered: Player.stepFrame(true)
        }
        Action {
            text: qsTr("Previous Frame\t,")
            enabled: host.hasPlayer && Player.hasVideo
            onTriggered: Player.stepFrame(false)
        }
        MenuSep {}
        SpeedMenu {
            host: appMenuBar.host
        }
        AppMenu {
            id: chapterMenu
            objectName: "chapterMenu"
            title: qsTr("Chapters")
            enabled: host.hasPlayer && Player.chapters.length > 0

            Action {
                text: qsTr("Next Chapter\tShift+PgDn")
                onTriggered: Player.nextChapter()
            }
            Action {
                text: qsTr("Previous Chapter\tShift+PgUp")
                onTriggered: Player.previousChapter()
            }
            MenuSep {}
            // Seeking leaves the list as it is, so the player is called at once.
            Instantiator {
                model: host.hasPlayer ? Player.chapters : []
                delegate: SelAction {
                    readonly property int chapter: index
                    text: modelData ? MenuText.literal(modelData.title) + "\t" + host.fmtTime(modelData.startUs)
                                    : ""
                    selected: host.hasPlayer && Player.currentChapter === chapter
                    onTriggered: Player.seekChapter(chapter)
                }
                onObjectAdded: (index, object) => chapterMenu.insertAction(index + 3, object)
                onObjectRemoved: (index, object) => chapterMenu.removeAction(object)
            }
        }
        MenuSep {}
        AppMenu {
            title: qsTr("&Repeat")

            SelAction {
                text: qsTr("Off")
                selected: host.hasPlayer && Player.repeatMode === 0
                onTriggered: Player.repeatMode = 0
            }
            SelAction {
                text: qsTr("Repeat Current Item")
                selected: host.hasPlayer && Player.repeatMode === 1
                onTriggered: Player.repeatMode = 1
            }
            SelAction {
                text: qsTr("Repeat Playlist")
                selected: host.hasPlayer && Player.repeatMode === 2
                onTriggered: Player.repeatMode = 2
            }
        }
        SelAction {
            text: qsTr("Shu&ffle")
            icon.source: "icons/shuffle.svg"
            selected: host.hasPlayer && Player.shuffle
            onTriggered: Player.shuffle = !Player.shuffle
        }
        SelAction {
            text: qsTr("Continue to Next Item")
            icon.source: "icons/playPlaylist.svg"
            selected: host.hasPlayer && Player.playPlaylist
            onTriggered: Player.playPlaylist = !Player.playPlaylist
        }
        MenuSep {}
        Action {
            text: qsTr("Clear Playlist")
            icon.source: "icons/clear.svg"
            enabled: host.hasPlayer && Player.playlistCount > 0
            onTriggered: Actions.trigger("playlist.clear")
        }
    }

    AppMenu {
        objectName: "audioMenu"
        title: qsTr("&Audio")

        AudioTrackMenu {}
        MenuSep {}
        Action {
            text: qsTr("Volume Up\t↑")
            onTriggered: host.changeVolume(0.05)
        }
        Action {
            text: qsTr("Volume Down\t↓")
            onTriggered: host.changeVolume(-0.05)
        }
        SelAction {
            text: qsTr("Mute\tM")
            selected: host.hasPlayer && !Player.casting && Player.muted
            onTriggered: host.toggleMute()
        }
        MenuSep {}
        Action {
            text: qsTr("Equalizer && Effects...\tCtrl+E")
            icon.source: "icons/eq.svg"
            onTriggered: host.windows.fxDialog.openDialog()
        }
        AppMenu {
            title: qsTr("Visualization")

            SelAction {
                text: qsTr("Automatic (cover art or spectrum)")
                selected: host.hasPlayer && Player.visualization === 0
                onTriggered: Player.visualization = 0
            }
            SelAction {
                text: qsTr("Spectrum Analyzer")
                selected: host.hasPlayer && Player.visualization === 1
                onTriggered: Player.visualization = 1
            }
            SelAction {
                text: qsTr("Waveform")
                selected: host.hasPlayer && Player.visualization === 2
                onTriggered: Player.visualization = 2
            }
            SelAction {
                text: qsTr("VU Meter")
                selected: host.hasPlayer && Player.visualization === 3
                onTriggered: Player.visualization = 3
            }
            SelAction {
                text: qsTr("Spectrogram")
                selected: host.hasPlayer && Player.visualization === 4
                onTriggered: Player.visualization = 4
            }
            SelAction {
                text: qsTr("Cover Art Only")
                selected: host.hasPlayer && Player.visualization === 5
                onTriggered: Player.visualization = 5
            }
        }
    }

    AppMenu {
        objectName: "videoMenu"
        title: qsTr("&Video")

        AspectMenu {
            host: appMenuBar.host
        }
        MenuSep {}
        Action {
            text: qsTr("&Fullscreen\tF11")
            icon.source: "icons/fullscreen.svg"
            onTriggered: host.toggleFullscreen()
        }
        SelAction {
            text: qsTr("Always on &Top\tCtrl+T")
            selected: host.alwaysOnTop
            onTriggered: host.alwaysOnTop = !host.alwaysOnTop
        }
        MenuSep {}
        Action {
            text: qsTr("Take &Snapshot\tShift+S")
            icon.source: "icons/camera.svg"
            enabled: host.hasPlayer && Player.hasVideo
            onTriggered: Player.saveSnapshot()
        }
    }

    AppMenu {
        objectName: "subtitlesMenu"
        title: qsTr("&Subtitles")

        SubtitleTrackMenu {
            host: appMenuBar.host
        }
        MenuSep {}
        Action {
            text: qsTr("Delay -100 ms\tG")
            enabled: host.hasPlayer && Player.currentSubtitleTrack >= 0
            onTriggered: Player.subtitleDelayMs = Player.subtitleDelayMs - 100
        }
        Action {
            text: qsTr("Delay +100 ms\tH")
            enabled: host.hasPlayer && Player.currentSubtitleTrack >= 0
            onTriggered: Player.subtitleDelayMs = Player.subtitleDelayMs + 100
        }
        Action {
            text: qsTr("Reset Delay")
            enabled: host.hasPlayer && Player.subtitleDelayMs !== 0
            onTriggered: Player.subtitleDelayMs = 0
        }
        MenuSep {}
        Action {
            text: qsTr("Larger\tCtrl+↑")
            onTriggered: Player.subtitleScale = Player.subtitleScale + 0.1
        }
        Action {
            text: qsTr("Smaller\tCtrl+↓")
            onTriggered: Player.subtitleScale = Player.subtitleScale - 0.1
        }
        Action {
            text: qsTr("Normal Size")
            onTriggered: Player.subtitleScale = 1.0
        }
    }

    AppMenu {
        objectName: "viewMenu"
        title: qsTr("V&iew")

        SelAction {
            text: qsTr("&Playlist\tCtrl+L")
            icon.source: "icons/playlist.svg"
            selected: host.playlistVisible
            onTriggered: host.playlistVisible = !host.playlistVisible
        }
        Action {
            text: qsTr("&Cast...\tCtrl+Shift+C")
            icon.source: "icons/cast.svg"
            onTriggered: host.windows.castWindow.openWindow()
        }
        SelAction {
            text: qsTr("&Library Sidebar\tCtrl+B")
            selected: host.libraryVisible
            onTriggered: host.libraryVisible = !host.libraryVisible
        }
        SelAction {
            text: qsTr("Library &Browser\tCtrl+Shift+L")
            selected: host.showLibrary
            onTriggered: host.showLibraryView(!host.showLibrary)
        }
        Action {
            text: qsTr("Search Library...\tCtrl+F")
            onTriggered: {
                host.libraryVisible = true
                host.sidebar.focusSearch()
            }
        }
        Action {
            text: qsTr("Library &Folders && Settings...")
            onTriggered: host.windows.librarySettings.openWindow()
        }
        MenuSep {}
        Action {
            text: qsTr("Media &Information...\tCtrl+I")
            icon.source: "icons/about.svg"
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: host.windows.infoDialog.open()
        }
        SelAction {
            text: qsTr("Performance Overlay\tCtrl+Shift+P")
            selected: typeof Hud !== "undefined" && Hud.visible
            onTriggered: Hud.toggle()
        }
        MenuSep {}
        Action {
            text: qsTr("&Effects && Filters...\tCtrl+E")
            icon.source: "icons/eq.svg"
            onTriggered: host.windows.fxDialog.openDialog()
        }
        Action {
            text: qsTr("P&references...\tCtrl+P")
            icon.source: "icons/settings.svg"
            onTriggered: host.windows.prefsDialog.open()
        }
    }

    AppMenu {
        objectName: "helpMenu"
        title: qsTr("&Help")

        Action {
            text: qsTr("&Keyboard Shortcuts\tF1")
            onTriggered: host.windows.shortcutsDialog.open()
        }
        Action {
            text: qsTr("Check for &Updates...")
            onTriggered: host.windows.updateDialog.checkNow()
        }
        MenuSep {}
        Action {
            text: qsTr("&About Kestrune Media Player")
            icon.source: "icons/about.svg"
            onTriggered: host.windows.aboutDialog.open()
        }
    }
}
