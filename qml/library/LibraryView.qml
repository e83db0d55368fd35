import QtQuick
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The library browser over the stage: one library query through its own LibraryModel, as a grid of cover
// tiles (groups, movies, videos) or a list of rows, with a back stack for drill-downs, a selection of rows
// (Ctrl and Shift) and playback of the whole view or of the view from one row on. Titles, names and paths
// come from tags and file names, so every such text is plain text.
Rectangle {
    id: view

    signal playedVideo()
    signal editRequested(var ids)
    signal convertRequested(var uris)
    signal manageFolders()

    property var params: ({ view: "tracks" })
    property string title: qsTr("Songs")
    // {params, title} entries, oldest first; always replaced whole so bindings on it follow.
    property var stack: []
    // Selected row numbers, each mapped to true.
    property var selected: ({})
    property int anchorRow: -1
    property bool gridMode: true
    property string sortKey: ""
    property bool sortDesc: false

    readonly property var groupViews: ["artists", "albums", "genres", "years", "composers", "shows", "seasons"]
    readonly property string viewName: params && params.view !== undefined && params.view !== null
                                       ? String(params.view) : ""
    readonly property bool isGroup: groupViews.indexOf(viewName) >= 0
    readonly property bool canGrid: isGroup || viewName === "movies" || viewName === "videos"
    readonly property bool showGrid: canGrid && gridMode
    readonly property var effectiveParams: {
        const copy = Object.assign({}, params)
        if (sortKey !== "") {
            copy.sort = sortKey
            copy.desc = sortDesc
        }
        return copy
    }

    readonly property bool hasLibrary: typeof Library !== "undefined" && Library !== null
    readonly property bool hasPlayer: typeof Player !== "undefined" && Player !== null
    readonly property bool hasFolders: hasLibrary && !!Library.folders && Library.folders.length > 0
    readonly property int total: libModel.total
    readonly property int selectedCount: Object.keys(selected).length
    readonly property var playlists: hasLibrary && Library.playlists ? Library.playlists : []

    readonly property string summary: {
        let text = total === 1 ? qsTr("1 item") : qsTr("%1 items").arg(total)
        if (selectedCount > 1)
            text += "  ·  " + qsTr("%1 selected").arg(selectedCount)
        if (stack.length > 0)
            text = stack.map(entry => entry.title).join(" › ") + "  ·  " + text
        return text
    }

    // Grid geometry: the grid's margins take 18 px of the width.
    readonly property bool wide: viewName === "movies" || viewName === "videos"
    readonly property int gridColumns: Math.max(1, Math.floor((width - 18) / 176))
    readonly property int cellWidth: Math.floor((width - 18) / gridColumns)
    readonly property int cellHeight: wide ? Math.round((cellWidth - 26) * 9 / 16) + 26 + 46 : cellWidth + 46

    property alias model: libModel
    property alias errorText: errorText
    property alias rowMenu: ctx

    color: "#101216"

    // Every change of the view returns the sort to the view's own order (the header's chooser follows).
    onParamsChanged: {
        sortKey = ""
        sortDesc = false
    }

    function open(newParams, newTitle) {
        stack = []
        params = newParams
        title = newTitle
        clearSelection()
    }

    function drill(newParams, newTitle) {
        stack = stack.concat([{ params: params, title: title }])
        params = newParams
        title = newTitle
        clearSelection()
    }

    function back() {
        if (stack.length === 0)
            return
        const last = stack[stack.length - 1]
        stack = stack.slice(0, stack.length - 1)
        params = last.params
        title = last.title
        clearSelection()
    }

    function clearSelection() {
        selected = {}
        anchorRow = -1
    }

    function selectedRows() {
        return Object.keys(selected).map(Number).sort((a, b) => a - b)
    }

    function select(row, modifiers) {
        let next = Object.assign({}, selected)
        const shift = (modifiers & Qt.ShiftModifier) !== 0
        const ctrl = (modifiers & Qt.ControlModifier) !== 0
        if (shift && anchorRow >= 0) {
            if (!ctrl)
                next = {}
            for (let r = Math.min(anchorRow, row); r <= Math.max(anchorRow, row); ++r)
                next[r] = true
        } else if (ctrl) {
            if (next[row])
                delete next[row]
            else
                next[row] = true
            anchorRow = row
        } else {
            next = {}
            next[row] = true
            anchorRow = row
        }
        selected = next
    }

    function selectAll() {
        const next = {}
        for (let r = 0; r < libModel.count; ++r)
            next[r] = true
        selected = next
    }

    // Appends the entries of a list that came from C++ (a JS array or a sequence wrapper) one by one.
    function appendAll(target, list) {
        if (!list)
            return target
        for (let i = 0; i < list.length; ++i)
            target.push(list[i])
        return target
    }

    function present(value) {
        return value !== undefined && value !== null
    }

    // The item view that lists a group's members.
    function memberView() {
        return viewName === "shows" || viewName === "seasons" ? "episodes" : "tracks"
    }

    function urisForRows(rows) {
        return urisForMaps(rows.map(row => libModel.get(row)), memberView())
    }

    function idsForRows(rows) {
        return idsForMaps(rows.map(row => libModel.get(row)), memberView())
    }

    // The same walk over row maps kept from earlier (the context menu's), with the item view that lists a
    // group's members: a group or folder expands to its members as they are now.
    function urisForMaps(maps, members) {
        const out = []
        for (const map of maps) {
            if (map.type === "item") {
                if (present(map.uri) && String(map.uri) !== "")
                    out.push(String(map.uri))
            } else if (map.type === "group" && hasLibrary) {
                appendAll(out, Library.urisFor(Library.idsForQuery({ view: members, key: map.groupKey })))
            } else if (map.type === "folder" && hasLibrary) {
                appendAll(out, Library.urisFor(Library.idsForQuery({ view: "folders", key: { folder: map.path } })))
            }
        }
        return out
    }

    function idsForMaps(maps, members) {
        const out = []
        for (const map of maps) {
            if (map.type === "item") {
                if (present(map.id))
                    out.push(map.id)
            } else if (map.type === "group" && hasLibrary) {
                appendAll(out, Library.idsForQuery({ view: members, key: map.groupKey }))
            }
        }
        return out
    }

    // The key map goes back unchanged: its null and undefined values select the rows without a value.
    function groupParams(rowMap) {
        const next = viewName === "shows" ? "seasons" : viewName === "seasons" ? "episodes" : "tracks"
        return { view: next, key: rowMap.groupKey }
    }

    function groupTitle(rowMap) {
        const name = rowMap.name
        if (!present(name) || String(name) === "")
            return viewName === "seasons" ? qsTr("Specials") : qsTr("Unknown")
        if (viewName === "seasons") {
            const show = params.key && present(params.key.show) ? String(params.key.show) : ""
            const season = qsTr("Season %1").arg(String(name))
            return show !== "" ? show + " – " + season : season
        }
        return String(name)
    }

    function activate(row) {
        const map = libModel.get(row)
        if (map.type === "group")
            drill(groupParams(map), groupTitle(map))
        else if (map.type === "folder")
            drill({ view: "folders", key: { folder: map.path } }, root_basename(String(map.path)))
        else if (map.type === "item")
            playFrom(row, false)
    }

    function root_basename(path) {
        const cut = Math.max(path.lastIndexOf("\\"), path.lastIndexOf("/"))
        return cut >= 0 ? path.substring(cut + 1) : path
    }

    function loadedRows() {
        const rows = []
        for (let r = 0; r < libModel.count; ++r)
            rows.push(r)
        return rows
    }

    function playFrom(row, shuffle) {
        if (!hasLibrary || !hasPlayer)
            return
        let paths = []
        let start = 0
        if (viewName === "playlist") {
            const playlist = params.key ? params.key.playlist : undefined
            paths = appendAll([], Library.playlistUris(playlist))
            start = Math.max(0, row)
            if (paths.length > 0)
                Library.markPlaylistPlayed(playlist)
        } else if (isGroup) {
            paths = urisForRows(row >= 0 ? [row] : loadedRows())
        } else {
            // The whole query in the chosen order, not only the loaded rows.
            const ids = appendAll([], Library.idsForQuery(effectiveParams))
            paths = appendAll([], Library.urisFor(ids))
            if (row >= 0) {
                const id = libModel.get(row).id
                start = Math.max(0, ids.findIndex(other => other === id))
            }
        }
        if (paths.length === 0)
            return
        start = Math.min(start, paths.length - 1)
        const video = isVideoPath(paths[start])
        Player.playPaths(paths, shuffle ? -1 : start, shuffle)
        if (video)
            playedVideo()
    }

    function isVideoPath(uri) {
        return /\.(mp4|mkv|webm|avi|mov|wmv|m4v|ts|m2ts|mpg|mpeg|flv|ogv|3gp)$/i.test(String(uri))
    }

    function fmtDur(us) {
        if (!present(us) || !(us > 0))
            return ""
        const t = Math.round(us / 1000000)
        const h = Math.floor(t / 3600)
        const m = Math.floor((t % 3600) / 60)
        const s = t % 60
        const two = n => (n < 10 ? "0" : "") + n
        return (h > 0 ? h + ":" + two(m) : String(m)) + ":" + two(s)
    }

    // The menu keeps the rows' maps as they are now: a reload while it is open (every edit and finished scan
    // brings one) moves rows, and the entries must still act on these. Taking the loaded maps runs no query.
    function popupRowMenu(rows, item, x, y) {
        ctx.rows = rows.slice()
        ctx.maps = rows.map(row => libModel.get(row))
        ctx.members = memberView()
        ctx.playlistId = viewName === "playlist" && params.key && present(params.key.playlist)
                         ? Number(params.key.playlist) : -1
        ctx.popup(item, x, y)
    }

    function promptNewPlaylist(uris) {
        newPl.uris = uris
        newPl.open()
    }

    function confirmRemoval(ids, deleting) {
        removeDlg.ids = appendAll([], ids)
        removeDlg.deleting = deleting
        removeDlg.open()
    }

    // Return in the list: one row is activated, several are played as they are, the browser staying.
    function activateSelection() {
        const rows = selectedRows()
        if (rows.length === 1)
            activate(rows[0])
        else if (rows.length > 1 && hasPlayer)
            Player.playPaths(urisForRows(rows), 0, false)
    }

    // A right click keeps a selection that holds the row, else selects the row alone.
    function rowPressed(row, mouse, item) {
        if (mouse.button === Qt.RightButton) {
            if (!selected[row])
                select(row, Qt.NoModifier)
            popupRowMenu(selectedRows(), item, mouse.x, mouse.y)
        } else {
            select(row, mouse.modifiers)
        }
    }

    LibraryRowModel {
        id: libModel
        view: view
    }

    Shortcut {
        sequence: "Alt+Left"
        enabled: view.visible
        onActivated: view.back()
    }

    // Not while a text field has the focus: there Ctrl+A selects the field's text.
    Shortcut {
        sequence: "Ctrl+A"
        enabled: view.visible && !view.textFocused
        onActivated: view.selectAll()
    }

    readonly property bool textFocused: {
        const item = Window.activeFocusItem
        return item !== null && (item instanceof TextInput || item instanceof TextEdit)
    }

    // Under all content: a click on empty space clears the selection, and no wheel reaches the stage.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        onClicked: view.clearSelection()
        onWheel: wheel => wheel.accepted = true
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        LibraryHeader {
            view: view
            Layout.fillWidth: true
            Layout.preferredHeight: 52
        }
        LibraryErrorStrip {
            id: errorText
            Layout.fillWidth: true
            Layout.preferredHeight: 26
        }
        LibraryEmptyState {
            view: view
            Layout.fillWidth: true
            Layout.fillHeight: true
        }
        LibraryGrid {
            view: view
            Layout.fillWidth: true
            Layout.fillHeight: true
        }
        LibraryList {
            view: view
            Layout.fillWidth: true
            Layout.fillHeight: true
        }
    }

    LibraryRowMenu {
        id: ctx
        view: view
    }
    LibraryNewPlaylistDialog {
        id: newPl
        view: view
    }
    LibraryRemoveDialog {
        id: removeDlg
        view: view
    }
}
