import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// The library's navigation column: search, "Now Playing", the categories with their counts, the saved
// playlists, an undo strip and the scan status. It shows no library content itself; picking a row emits
// navigate and the main window opens the browser on it.
Rectangle {
    id: sidebar

    // Set by the main window: the key of the highlighted row.
    property string currentKey: "nowplaying"

    // The context objects, null when the program runs without them. Every read below goes through these.
    readonly property var lib: typeof Library !== "undefined" ? Library : null
    readonly property var player: typeof Player !== "undefined" ? Player : null

    readonly property var counts: lib && lib.counts ? lib.counts : ({})
    readonly property bool hasFolders: !!(lib && lib.folders && lib.folders.length > 0)
    readonly property bool searchFocused: searchField.activeFocus
    readonly property var playlists: lib && lib.playlists ? lib.playlists : []
    readonly property int queueCount: player && player.playlistCount > 0 ? player.playlistCount : 0
    readonly property bool scanning: !!(lib && lib.scanning)

    // One row per category; key, view and count key are the same word.
    readonly property var entries: [
        { key: "tracks", label: qsTr("Songs"), view: "tracks", countKey: "tracks", section: qsTr("MUSIC") },
        { key: "artists", label: qsTr("Artists"), view: "artists", countKey: "artists", section: "" },
        { key: "albums", label: qsTr("Albums"), view: "albums", countKey: "albums", section: "" },
        { key: "genres", label: qsTr("Genres"), view: "genres", countKey: "genres", section: "" },
        { key: "years", label: qsTr("Years"), view: "years", countKey: "years", section: "" },
        { key: "composers", label: qsTr("Composers"), view: "composers", countKey: "composers", section: "" },
        { key: "movies", label: qsTr("Movies"), view: "movies", countKey: "movies", section: qsTr("VIDEO") },
        { key: "shows", label: qsTr("TV Shows"), view: "shows", countKey: "shows", section: "" },
        { key: "videos", label: qsTr("All Videos"), view: "videos", countKey: "videos", section: "" },
        { key: "recent", label: qsTr("Recently Added"), view: "recent", countKey: "recent",
            section: qsTr("SMART LISTS") },
        { key: "played", label: qsTr("Recently Played"), view: "played", countKey: "played", section: "" },
        { key: "most", label: qsTr("Most Played"), view: "most", countKey: "most", section: "" },
        { key: "top", label: qsTr("Top Rated"), view: "top", countKey: "top", section: "" },
        { key: "folders", label: qsTr("Folders"), view: "folders", countKey: "folders", section: qsTr("BROWSE") },
        { key: "missing", label: qsTr("Missing Files"), view: "missing", countKey: "missing", section: "" },
    ]

    signal navigate(var params, string title, string key)
    signal showNowPlaying()
    signal manageFolders()

    function focusSearch() {
        searchField.forceActiveFocus()
        searchField.selectAll()
    }

    function escapeSearch() {
        if (searchField.text !== "") {
            searchField.clear()
            return true
        }
        searchField.focus = false
        return false
    }

    // The status line for a library (anything with Library's scan and error members), the first rule that
    // applies; empty without one.
    function statusText(library) {
        if (!library)
            return ""
        const scan = library.scanStatus || {}
        if (library.scanPaused)
            return qsTr("Scan paused · %1 of %2").arg(scan.processed || 0).arg(scan.found || 0)
        if (library.scanning) {
            return scan.found > 0 ? qsTr("Scanning %1 of %2…").arg(scan.processed || 0).arg(scan.found)
                                  : qsTr("Looking for media…")
        }
        if (library.lastError)
            return String(library.lastError)
        const figures = library.counts || {}
        return qsTr("%1 songs · %2 videos").arg(figures.tracks || 0).arg(figures.videos || 0)
    }

    // The search of the last change of a burst of typing.
    function runSearch() {
        const text = searchField.text.trim()
        if (text !== "")
            navigate({ view: "search", search: text }, qsTr("Search: %1").arg(text), "search")
        else if (currentKey === "search")
            navigate({ view: "tracks" }, qsTr("Songs"), "tracks")
    }

    // The file name the export suggests for a playlist: a slash would name a folder that is not there.
    function exportFileName(name) {
        return String(name).replace(/\//g, "_") + ".m3u8"
    }

    function saveQueue() {
        if (!lib || !player || queueCount <= 0)
            return
        const name = qsTr("Queue %1").arg(Qt.formatDateTime(new Date(), "yyyy-MM-dd HH:mm"))
        lib.createPlaylist(name, player.playlist)
    }

    color: "#121419"

    component SectionLabel: Text {
        leftPadding: 14
        topPadding: 12
        bottomPadding: 4
        color: "#5f646d"
        textFormat: Text.PlainText
        font.family: "Segoe UI"
        font.pixelSize: 9
        font.weight: Font.DemiBold
        font.letterSpacing: 1.4
    }

    component NavRow: Rectangle {
        id: row

        property string key
        property string label
        property var count
        property bool dim: false
        // Whether the row is the sidebar's current one; inline components cannot read the sidebar's id.
        property bool current: false

        signal clicked(var mouse)

        height: 26
        color: current ? "#2a1d17" : rowMouse.containsMouse ? "#1b1e24" : "transparent"

        Rectangle {
            objectName: "currentBar"
            width: 2
            height: parent.height
            color: "#ff5b22"
            visible: row.current
        }

        Text {
            id: labelText
            objectName: "rowLabel"
            anchors.left: parent.left
            anchors.leftMargin: 16
            anchors.right: countText.left
            anchors.rightMargin: 6
            anchors.verticalCenter: parent.verticalCenter
            text: row.label
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.family: "Segoe UI"
            font.pixelSize: 12
            color: row.current ? "#ffffff" : row.dim ? "#5f646d" : "#c9ccd1"
        }

        Text {
            id: countText
            objectName: "rowCount"
            anchors.right: parent.right
            anchors.rightMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            text: row.count === undefined || row.count === null ? "" : String(row.count)
            textFormat: Text.PlainText
            font.family: "JetBrains Mono"
            font.pixelSize: 10
            color: "#5f646d"
        }

        MouseArea {
            id: rowMouse
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            acceptedButtons: Qt.LeftButton | Qt.RightButton
            onClicked: mouse => row.clicked(mouse)
        }
    }

    // The style's own tool tip guesses rich text; this one never does.
    component PlainTip: ToolTip {
        id: tip
        contentItem: Text {
            text: tip.text
            textFormat: Text.PlainText
            font: tip.font
            wrapMode: Text.Wrap
            color: tip.palette.toolTipText
        }
    }

    Rectangle {
        anchors.right: parent.right
        width: 1
        height: parent.height
        color: "#22252c"
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.rightMargin: 1
        spacing: 0

        Item {
            Layout.fillWidth: true
            Layout.preferredHeight: 44

            TextField {
                id: searchField
                objectName: "librarySearch"
                anchors.fill: parent
                anchors.margins: 8
                placeholderText: qsTr("Search library  (Ctrl+F)")
                placeholderTextColor: "#5f646d"
                selectByMouse: true
                color: "#e8eaed"
                font.pixelSize: 12
                leftPadding: 10
                rightPadding: 24
                hoverEnabled: true
                background: Rectangle {
                    color: "#1c1f26"
                    radius: 4
                    border.color: searchField.activeFocus ? "#ff5b22" : "#2c3038"
                }

                onTextChanged: searchTimer.restart()

                PlainTip {
                    objectName: "searchHelp"
                    visible: searchField.hovered && searchField.text === "" && text !== ""
                    delay: 800
                    text: sidebar.lib && sidebar.lib.searchHelp ? sidebar.lib.searchHelp() : ""
                }

                Text {
                    objectName: "searchClear"
                    anchors.right: parent.right
                    anchors.rightMargin: 8
                    anchors.verticalCenter: parent.verticalCenter
                    visible: searchField.text !== ""
                    text: "×"
                    color: "#9ca3af"
                    font.pixelSize: 15

                    MouseArea {
                        anchors.fill: parent
                        anchors.margins: -4
                        cursorShape: Qt.PointingHandCursor
                        onClicked: searchField.clear()
                    }
                }
            }

            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: "#22252c"
            }
        }

        Flickable {
            id: list
            objectName: "sidebarList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            contentWidth: width
            contentHeight: rows.implicitHeight
            ScrollBar.vertical: ScrollBar {
                policy: list.contentHeight > list.height ? ScrollBar.AsNeeded : ScrollBar.AlwaysOff
            }

            Column {
                id: rows
                objectName: "sidebarRows"
                width: list.width

                Item {
                    width: 1
                    height: 6
                }

                NavRow {
                    objectName: "libraryEntry_nowplaying"
                    width: rows.width
                    key: "nowplaying"
                    label: qsTr("Now Playing")
                    count: sidebar.queueCount > 0 ? sidebar.queueCount : undefined
                    current: sidebar.currentKey === key
                    onClicked: sidebar.showNowPlaying()
                }

                Item {
                    objectName: "firstRun"
                    visible: !sidebar.hasFolders
                    width: rows.width
                    height: visible ? firstRunColumn.implicitHeight + 28 : 0

                    Column {
                        id: firstRunColumn
                        x: 14
                        y: 14
                        width: parent.width - 28
                        spacing: 8

                        Text {
                            width: parent.width
                            text: qsTr("Add the folders where you keep music and videos. The library indexes them in the "
                                       + "background and keeps up with changes.")
                            textFormat: Text.PlainText
                            wrapMode: Text.WordWrap
                            color: "#9ca3af"
                            font.family: "Segoe UI"
                            font.pixelSize: 11
                        }

                        DarkButton {
                            objectName: "addFolder"
                            accent: true
                            text: qsTr("Add a Folder...")
                            onClicked: sidebar.manageFolders()
                        }
                    }
                }

                Column {
                    objectName: "categories"
                    visible: sidebar.hasFolders
                    width: rows.width

                    Repeater {
                        model: sidebar.entries

                        Column {
                            id: entry
                            required property var modelData
                            readonly property var count: sidebar.counts[modelData.countKey]
                            width: rows.width
                            visible: modelData.key !== "missing" || sidebar.counts.missing > 0

                            SectionLabel {
                                visible: entry.modelData.section !== ""
                                width: parent.width
                                text: entry.modelData.section
                            }

                            NavRow {
                                objectName: "libraryEntry_" + key
                                width: parent.width
                                key: entry.modelData.key
                                label: entry.modelData.label
                                count: entry.count
                                dim: !(entry.count > 0)
                                current: sidebar.currentKey === key
                                onClicked: sidebar.navigate({ view: entry.modelData.view }, label, key)
                            }
                        }
                    }
                }

                Item {
                    width: rows.width
                    height: playlistsLabel.implicitHeight

                    SectionLabel {
                        id: playlistsLabel
                        width: parent.width
                        text: qsTr("PLAYLISTS")
                    }

                    Rectangle {
                        id: newPlaylist
                        objectName: "newPlaylist"
                        anchors.right: parent.right
                        anchors.rightMargin: 8
                        y: 6
                        width: 22
                        height: 22
                        radius: 4
                        enabled: sidebar.queueCount > 0
                        color: enabled && newPlaylistHover.containsMouse ? "#232730" : "transparent"

                        Text {
                            anchors.centerIn: parent
                            text: "+"
                            font.pixelSize: 16
                            color: !newPlaylist.enabled ? "#3f434b" : newPlaylistHover.containsMouse ? "#ff5b22"
                                                                                                     : "#9ca3af"
                        }

                        MouseArea {
                            anchors.fill: parent
                            onClicked: sidebar.saveQueue()
                        }
                    }

                    // Outside the button, so a disabled button still explains itself on hover.
                    MouseArea {
                        id: newPlaylistHover
                        anchors.fill: newPlaylist
                        hoverEnabled: true
                        acceptedButtons: Qt.NoButton
                        cursorShape: newPlaylist.enabled ? Qt.PointingHandCursor : Qt.ArrowCursor
                    }

                    PlainTip {
                        objectName: "newPlaylistTip"
                        parent: newPlaylist
                        visible: newPlaylistHover.containsMouse
                        text: newPlaylist.enabled ? qsTr("Save the current queue as a playlist")
                                                  : qsTr("The queue is empty")
                    }
                }

                Text {
                    objectName: "playlistHint"
                    visible: sidebar.playlists.length === 0
                    width: rows.width
                    leftPadding: 16
                    bottomPadding: 6
                    text: qsTr("Save the queue with + or from the selection menu")
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    color: "#3f434b"
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                }

                Repeater {
                    model: sidebar.playlists

                    NavRow {
                        id: playlistRow
                        required property var modelData
                        objectName: "libraryEntry_" + key
                        width: rows.width
                        key: "playlist:" + modelData.id
                        label: modelData.name
                        count: modelData.count
                        current: sidebar.currentKey === key
                        onClicked: mouse => {
                            if (mouse.button === Qt.RightButton) {
                                plMenu.pid = modelData.id
                                plMenu.pname = modelData.name
                                // Parented to the sidebar: a change of the playlists replaces this row.
                                const at = playlistRow.mapToItem(sidebar, mouse.x, mouse.y)
                                plMenu.popup(sidebar, at.x, at.y)
                            } else {
                                sidebar.navigate({ view: "playlist", key: { playlist: modelData.id } }, modelData.name,
                                                 key)
                            }
                        }
                    }
                }

                Item {
                    width: 1
                    height: 10
                }
            }
        }

        Rectangle {
            id: undoBar
            objectName: "undoBar"

            // Shows text for 8 s; the "Undo" link only for a message that can be undone (a deletion).
            function show(text, undoable) {
                undoText.text = text
                undoLink.visible = undoable === true
                visible = true
                undoTimer.restart()
            }

            visible: false
            Layout.fillWidth: true
            Layout.preferredHeight: visible ? 30 : 0
            color: "#1f2228"

            Timer {
                id: undoTimer
                interval: 8000
                onTriggered: undoBar.visible = false
            }

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                spacing: 8

                Text {
                    id: undoText
                    objectName: "undoText"
                    Layout.fillWidth: true
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    color: "#c9ccd1"
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                }

                Text {
                    id: undoLink
                    objectName: "undoLink"
                    text: qsTr("Undo")
                    color: "#ff5b22"
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                    font.weight: Font.DemiBold

                    MouseArea {
                        anchors.fill: parent
                        anchors.margins: -4
                        cursorShape: Qt.PointingHandCursor
                        onClicked: {
                            if (sidebar.lib)
                                sidebar.lib.undoDeletePlaylist()
                            undoTimer.stop()
                            undoBar.visible = false
                        }
                    }
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 34
            color: "#0e0f13"

            Rectangle {
                width: parent.width
                height: 1
                color: "#22252c"
            }

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 8
                spacing: 6

                Text {
                    id: statusLabel
                    objectName: "libraryStatus"
                    Layout.fillWidth: true
                    text: sidebar.statusText(sidebar.lib)
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                    color: sidebar.lib && sidebar.lib.lastError ? "#f87171" : "#5f646d"

                    MouseArea {
                        id: statusHover
                        anchors.fill: parent
                        hoverEnabled: true
                        acceptedButtons: Qt.NoButton
                    }

                    PlainTip {
                        objectName: "scanFileTip"
                        visible: sidebar.scanning && statusHover.containsMouse && text !== ""
                        text: sidebar.scanning && sidebar.lib.scanStatus ? (sidebar.lib.scanStatus.current || "") : ""
                    }
                }

                Text {
                    id: pauseControl
                    objectName: "scanPause"
                    visible: sidebar.scanning
                    text: sidebar.lib && sidebar.lib.scanPaused ? "▶" : "❚❚"
                    color: "#9ca3af"
                    font.pixelSize: 10

                    MouseArea {
                        id: pauseMouse
                        anchors.fill: parent
                        anchors.margins: -4
                        hoverEnabled: true
                        cursorShape: Qt.PointingHandCursor
                        onClicked: {
                            if (sidebar.lib)
                                sidebar.lib.pauseScan(!sidebar.lib.scanPaused)
                        }
                    }

                    PlainTip {
                        visible: pauseMouse.containsMouse
                        text: sidebar.lib && sidebar.lib.scanPaused ? qsTr("Resume scanning") : qsTr("Pause scanning")
                    }
                }

                Text {
                    objectName: "libraryGear"
                    text: "⚙"
                    color: gearMouse.containsMouse ? "#e8eaed" : "#9ca3af"
                    font.pixelSize: 14

                    MouseArea {
                        id: gearMouse
                        anchors.fill: parent
                        anchors.margins: -4
                        hoverEnabled: true
                        cursorShape: Qt.PointingHandCursor
                        onClicked: sidebar.manageFolders()
                    }

                    PlainTip {
                        visible: gearMouse.containsMouse
                        text: qsTr("Library folders and settings")
                    }
                }
            }
        }
    }

    Timer {
        id: searchTimer
        objectName: "searchTimer"
        interval: 180
        onTriggered: sidebar.runSearch()
    }

    AppMenu {
        id: plMenu
        objectName: "plMenu"

        property int pid: -1
        property string pname

        Action {
            text: qsTr("Play")
            onTriggered: {
                if (!sidebar.lib || !sidebar.player)
                    return
                sidebar.player.playPaths(sidebar.lib.playlistUris(plMenu.pid), 0, false)
                sidebar.lib.markPlaylistPlayed(plMenu.pid)
            }
        }
        Action {
            text: qsTr("Shuffle")
            onTriggered: {
                if (!sidebar.lib || !sidebar.player)
                    return
                sidebar.player.playPaths(sidebar.lib.playlistUris(plMenu.pid), -1, true)
                sidebar.lib.markPlaylistPlayed(plMenu.pid)
            }
        }
        Action {
            text: qsTr("Add to Queue")
            onTriggered: {
                if (sidebar.lib && sidebar.player)
                    sidebar.player.enqueuePaths(sidebar.lib.playlistUris(plMenu.pid))
            }
        }
        MenuSeparator {
            topPadding: 4
            bottomPadding: 4
            contentItem: Rectangle {
                implicitWidth: 200
                implicitHeight: 1
                color: "#3a3d44"
            }
        }
        Action {
            text: qsTr("Rename...")
            onTriggered: {
                renameDlg.pid = plMenu.pid
                renameField.text = plMenu.pname
                renameDlg.open()
            }
        }
        Action {
            text: qsTr("Export as M3U8...")
            onTriggered: {
                exportPl.pid = plMenu.pid
                exportPl.suggest(sidebar.exportFileName(plMenu.pname))
                exportPl.open()
            }
        }
        Action {
            text: qsTr("Delete")
            onTriggered: {
                if (!sidebar.lib)
                    return
                sidebar.lib.deletePlaylist(plMenu.pid)
                undoBar.show(qsTr("Deleted \"%1\"").arg(plMenu.pname), true)
            }
        }
    }

    DarkDialog {
        id: renameDlg
        objectName: "renameDlg"

        property int pid: -1

        parent: T.Overlay.overlay
        width: 360
        title: qsTr("Rename Playlist")
        standardButtons: Dialog.Ok | Dialog.Cancel

        onOpened: {
            renameField.forceActiveFocus()
            renameField.selectAll()
        }
        onAccepted: {
            if (sidebar.lib)
                sidebar.lib.renamePlaylist(pid, renameField.text)
        }

        TextField {
            id: renameField
            objectName: "renameField"
            width: parent.width
            selectByMouse: true
            color: "#e8eaed"
            font.pixelSize: 12
            onAccepted: renameDlg.accept()
        }
    }

    ExportDialog {
        id: exportPl
        objectName: "exportPl"

        property int pid: -1

        title: qsTr("Export Playlist")
        // The desktop's file chooser matches patterns case-sensitively.
        nameFilters: [qsTr("M3U8 playlist (*.m3u8 *.M3U8)")]
        defaultSuffix: "m3u8"

        onAccepted: {
            if (!sidebar.lib || !sidebar.lib.exportPlaylist(pid, String(selectedFile)))
                undoBar.show(qsTr("Could not write the playlist"), false)
        }
    }
}
