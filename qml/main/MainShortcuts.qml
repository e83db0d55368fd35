import QtQuick
import QtQuick.Window
import Kestrune.MediaPlayer

// The main window's key bindings, the only ones it has: the menus' key texts are labels. A focused text field
// keeps the keys it types and edits with (Qt gives it them first); Esc is the way back out of it.
// An item, not a plain object: a shortcut finds its window through the items it hangs from.
Item {
    id: keys

    // The main window: its state, its commands, its parts and its other windows.
    required property var host

    Shortcut {
        sequence: "Space"
        onActivated: Actions.trigger("playback.toggle")
    }
    Shortcut {
        sequence: StandardKey.Open
        onActivated: host.windows.openDialog.open()
    }
    Shortcut {
        sequence: "Ctrl+Shift+O"
        onActivated: host.windows.folderDialog.open()
    }
    Shortcut {
        sequence: "Ctrl+U"
        onActivated: host.windows.urlDialog.open()
    }
    Shortcut {
        sequence: "Ctrl+S"
        onActivated: {
            if (host.hasPlayer && Player.playlistCount > 0)
                host.windows.savePlaylistDialog.open()
        }
    }
    Shortcut {
        sequence: "Ctrl+W"
        onActivated: Actions.trigger("playback.stop")
    }
    // Quitting closes the window first, so the closing handler may still hold it for running conversions.
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }
    Shortcut {
        sequence: "Esc"
        onActivated: {
            if (host.fs) {
                host.visibility = Window.Windowed
                return
            }
            if (host.sidebar.searchFocused) {
                // The first Esc empties the search, the next one leaves the field.
                if (!host.sidebar.escapeSearch())
                    host.contentItem.forceActiveFocus()
                return
            }
            // The field's own focus goes first: the content item is a focus scope and would hand it back.
            if (host.activeFocusItem instanceof TextInput) {
                host.activeFocusItem.focus = false
                host.contentItem.forceActiveFocus()
            }
        }
    }
    Shortcut {
        sequence: "F11"
        onActivated: host.toggleFullscreen()
    }
    Shortcut {
        sequence: "F"
        onActivated: host.toggleFullscreen()
    }
    // While casting, the refusal that toggleMute shows stays on screen.
    Shortcut {
        sequence: "M"
        enabled: host.hasPlayer
        onActivated: {
            host.toggleMute()
            if (!Player.casting)
                host.osd.show(Player.muted ? qsTr("Muted") : qsTr("Volume %1%").arg(Math.round(Player.volume * 100)))
        }
    }
    Shortcut {
        sequence: "Up"
        onActivated: host.changeVolume(0.05)
    }
    Shortcut {
        sequence: "Down"
        onActivated: host.changeVolume(-0.05)
    }
    Shortcut {
        sequence: "PgUp"
        onActivated: Actions.trigger("playlist.previous")
    }
    Shortcut {
        sequence: "PgDown"
        onActivated: Actions.trigger("playlist.next")
    }
    Shortcut {
        sequence: "Shift+PgUp"
        onActivated: Player.previousChapter()
    }
    Shortcut {
        sequence: "Shift+PgDown"
        onActivated: Player.nextChapter()
    }
    Shortcut {
        sequence: "Ctrl+Shift+P"
        enabled: typeof Hud !== "undefined"
        onActivated: Hud.toggle()
    }
    Shortcut {
        sequence: "Ctrl+Shift+C"
        onActivated: host.windows.castWindow.openWindow()
    }
    Shortcut {
        sequence: "Ctrl+B"
        onActivated: host.libraryVisible = !host.libraryVisible
    }
    Shortcut {
        sequence: "Ctrl+F"
        onActivated: {
            host.libraryVisible = true
            host.sidebar.focusSearch()
        }
    }
    Shortcut {
        sequence: "Ctrl+Shift+L"
        onActivated: host.showLibraryView(!host.showLibrary)
    }
    Shortcut {
        sequence: "Ctrl+L"
        onActivated: host.playlistVisible = !host.playlistVisible
    }
    Shortcut {
        sequence: "Ctrl+T"
        onActivated: {
            host.alwaysOnTop = !host.alwaysOnTop
            host.osd.show(host.alwaysOnTop ? qsTr("Always on top") : qsTr("Always on top off"))
        }
    }
    Shortcut {
        sequence: "Ctrl+I"
        onActivated: host.windows.infoDialog.open()
    }
    Shortcut {
        sequence: "Ctrl+P"
        onActivated: host.windows.prefsDialog.open()
    }
    Shortcut {
        sequence: "F1"
        onActivated: host.windows.shortcutsDialog.open()
    }
    Shortcut {
        sequence: "Ctrl+E"
        onActivated: host.windows.fxDialog.openDialog()
    }
    Shortcut {
        sequence: "Ctrl+R"
        onActivated: host.openConvert()
    }
    Shortcut {
        sequence: "Left"
        onActivated: Player.seekRelative(-host.seekStepUs())
    }
    Shortcut {
        sequence: "Right"
        onActivated: Player.seekRelative(host.seekStepUs())
    }
    Shortcut {
        sequence: "Shift+Left"
        onActivated: Player.seekRelative(-60000000)
    }
    Shortcut {
        sequence: "Shift+Right"
        onActivated: Player.seekRelative(60000000)
    }
    Shortcut {
        sequence: "Home"
        onActivated: {
            if (Player.hasMedia)
                Player.seekUs(0)
        }
    }
    Shortcut {
        sequence: "."
        onActivated: Player.stepFrame(true)
    }
    Shortcut {
        sequence: ","
        onActivated: Player.stepFrame(false)
    }
    Shortcut {
        sequence: "]"
        onActivated: host.stepSpeed(1)
    }
    Shortcut {
        sequence: "["
        onActivated: host.stepSpeed(-1)
    }
    Shortcut {
        sequence: "Backspace"
        onActivated: Player.speed = 1.0
    }
    Shortcut {
        sequence: "B"
        onActivated: Player.cycleAudioTrack()
    }
    Shortcut {
        sequence: "V"
        onActivated: Player.cycleSubtitleTrack()
    }
    Shortcut {
        sequence: "G"
        onActivated: Player.subtitleDelayMs = Player.subtitleDelayMs - 100
    }
    Shortcut {
        sequence: "H"
        onActivated: Player.subtitleDelayMs = Player.subtitleDelayMs + 100
    }
    Shortcut {
        sequence: "Ctrl+Up"
        onActivated: Player.subtitleScale = Player.subtitleScale + 0.1
    }
    Shortcut {
        sequence: "Ctrl+Down"
        onActivated: Player.subtitleScale = Player.subtitleScale - 0.1
    }
    Shortcut {
        sequence: "A"
        onActivated: host.cycleAspect()
    }
    Shortcut {
        sequence: "Z"
        onActivated: host.cycleFill()
    }
    Shortcut {
        sequence: "R"
        onActivated: Player.repeatMode = (Player.repeatMode + 1) % 3
    }
    Shortcut {
        sequence: "Shift+S"
        onActivated: Player.saveSnapshot()
    }
    // A window shortcut beats the library list's own Delete, which removes library rows: while the browser
    // covers the stage, Delete is left to it.
    Shortcut {
        sequence: "Delete"
        enabled: !host.showLibrary || host.fs
        onActivated: {
            const selected = host.playlistPanel.view.currentIndex
            if (selected >= 0)
                Player.removeFromPlaylist(selected)
        }
    }
    // 0 to 9 jump to that tenth of the media; a stream without a duration has nowhere to jump to.
    Repeater {
        model: 10
        delegate: Item {
            id: digitKey
            required property int index
            Shortcut {
                sequence: String(digitKey.index)
                onActivated: {
                    if (Player.hasMedia && Player.durationUs > 0)
                        Player.seekFraction(digitKey.index / 10)
                }
            }
        }
    }
}
