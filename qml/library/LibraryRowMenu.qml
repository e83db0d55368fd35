import QtQuick
import QtQuick.Controls.Basic
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The right-click menu of the browser's rows: the commands on the rows that were selected when it opened.
AppMenu {
    id: ctx
    objectName: "libraryRowMenu"

    // The LibraryView whose rows these are: the row functions, the prompts and the signals to the window.
    required property var view

    // Row numbers, ascending, and the rows' maps as they were when the menu opened.
    property var rows: []
    property var maps: []
    // The item view that lists a group's members, and the playlist shown (-1 outside a playlist).
    property string members: "tracks"
    property int playlistId: -1

    readonly property bool anyItems: rows.length > 0
    readonly property var first: maps.length > 0 ? maps[0] : ({})
    readonly property bool single: rows.length === 1 && first.type === "item"
    readonly property bool oneFolder: rows.length === 1 && first.type === "folder"
    readonly property int firstStars: Math.round((Number(first.rating) || 0) / 20)

    function uris() {
        return view.urisForMaps(maps, members)
    }

    function ids() {
        return view.idsForMaps(maps, members)
    }

    // Appending changes the playlists and so rebuilds the playlist entries: it waits for the next turn,
    // once the chosen entry has finished its trigger. A fresh function each time, so two appends in one
    // turn are not merged into one.
    function appendLater(id, paths) {
        Qt.callLater(() => {
            if (typeof Library !== "undefined" && Library !== null)
                Library.appendToPlaylist(id, paths)
        })
    }

    function showInFolder() {
        const map = first
        const path = view.present(map.uri) && String(map.uri) !== "" ? String(map.uri)
                   : view.present(map.path) ? String(map.path) : ""
        if (!view.hasLibrary)
            return
        const url = Library.folderUrl(path, map.type === "folder")
        if (String(url) !== "")
            Qt.openUrlExternally(url)
    }

    component Sep: MenuSeparator {
        topPadding: 4
        bottomPadding: 4
        contentItem: Rectangle {
            implicitWidth: 200
            implicitHeight: 1
            color: "#3a3d44"
        }
    }

    Action {
        text: qsTr("Play")
        onTriggered: {
            const paths = ctx.uris()
            if (!view.hasPlayer || paths.length === 0)
                return
            Player.playPaths(paths, 0, false)
            if (view.isVideoPath(paths[0]))
                view.playedVideo()
        }
    }
    Action {
        text: qsTr("Play Next")
        onTriggered: {
            const paths = ctx.uris()
            if (view.hasPlayer && paths.length > 0)
                Player.playPathsNext(paths)
        }
    }
    Action {
        text: qsTr("Add to Queue")
        onTriggered: {
            const paths = ctx.uris()
            if (view.hasPlayer && paths.length > 0)
                Player.enqueuePaths(paths)
        }
    }
    Sep {}
    AppMenu {
        id: addPlMenu
        objectName: "addPlMenu"
        title: qsTr("Add to Playlist")

        Action {
            text: qsTr("New Playlist...")
            onTriggered: view.promptNewPlaylist(ctx.uris())
        }
        Sep {
            visible: view.playlists.length > 0
            height: visible ? implicitHeight : 0
        }
        Instantiator {
            model: view.playlists
            delegate: Action {
                readonly property int playlistId: modelData ? Number(modelData.id) : -1
                text: modelData ? MenuText.literal(modelData.name) : ""
                onTriggered: ctx.appendLater(playlistId, ctx.uris())
            }
            onObjectAdded: (index, object) => addPlMenu.insertAction(index + 2, object)
            onObjectRemoved: (index, object) => addPlMenu.removeAction(object)
        }
    }
    AppMenu {
        id: rateMenu
        objectName: "rateMenu"
        title: qsTr("Rating")
        enabled: ctx.anyItems

        Instantiator {
            model: 6
            delegate: SelAction {
                readonly property int stars: index
                text: stars === 0 ? qsTr("No rating") : "★★★★★".substring(0, stars) + "☆☆☆☆☆".substring(0, 5 - stars)
                selected: ctx.single && ctx.firstStars === stars
                onTriggered: {
                    if (view.hasLibrary)
                        Library.setRating(ctx.ids(), stars)
                }
            }
            onObjectAdded: (index, object) => rateMenu.insertAction(index, object)
            onObjectRemoved: (index, object) => rateMenu.removeAction(object)
        }
    }
    Action {
        text: qsTr("Edit Info...")
        onTriggered: view.editRequested(ctx.ids())
    }
    Action {
        text: qsTr("Convert...")
        onTriggered: view.convertRequested(ctx.uris())
    }
    Sep {}
    Action {
        text: qsTr("Show in Folder")
        enabled: ctx.single || ctx.oneFolder
        onTriggered: ctx.showInFolder()
    }
    Action {
        text: qsTr("Remove from Playlist")
        enabled: ctx.playlistId >= 0
        onTriggered: {
            // In a playlist the row numbers are the entries' places in it.
            if (view.hasLibrary)
                Library.removeFromPlaylist(ctx.playlistId, ctx.rows)
            view.clearSelection()
        }
    }
    Action {
        text: qsTr("Remove from Library")
        onTriggered: view.confirmRemoval(ctx.ids(), false)
    }
    Action {
        text: qsTr("Delete File(s)...")
        onTriggered: view.confirmRemoval(ctx.ids(), true)
    }
}
