import QtQuick
import Kestrune.MediaPlayer

// The browser's rows: one LibraryModel over the view's query. Every revision of the library reloads it, and
// row numbers then name other rows: the view's selection follows the rows' identities instead.
LibraryModel {
    id: rowModel

    // The LibraryView whose query this runs and whose selection it carries across reloads.
    required property var view
    // The selection's identities, counted, and the anchor's, between a reset's start and its end.
    property var pendingIdentities: null

    library: view.hasLibrary ? Library : null
    params: view.effectiveParams
    onParamsChanged: view.clearSelection()
    onModelAboutToBeReset: rememberSelection()
    onModelReset: restoreSelection()

    function identityOf(map) {
        if (map.type === "item")
            return view.present(map.id) ? "i" + map.id : "u" + map.uri
        if (map.type === "folder")
            return "f" + map.path
        if (map.type === "group") {
            const key = map.groupKey || {}
            return "g" + Object.keys(key).sort().map(name => {
                const value = key[name]
                return name + "=" + (value === undefined ? "\u0001" : value === null ? "\u0002"
                                                                     : typeof value + ":" + value)
            }).join("\u0003")
        }
        return ""
    }

    function rememberSelection() {
        const rows = view.selectedRows()
        if (rows.length === 0 && view.anchorRow < 0) {
            pendingIdentities = null
            return
        }
        const counts = {}
        for (const row of rows) {
            const id = identityOf(rowModel.get(row))
            counts[id] = (counts[id] || 0) + 1
        }
        pendingIdentities = { counts: counts,
                              anchor: view.anchorRow >= 0 ? identityOf(rowModel.get(view.anchorRow)) : null }
    }

    function restoreSelection() {
        const pending = pendingIdentities
        pendingIdentities = null
        if (!pending)
            return
        const counts = pending.counts
        const next = {}
        let anchor = -1
        for (let r = 0; r < rowModel.count; ++r) {
            const id = identityOf(rowModel.get(r))
            if (counts[id] > 0) {
                next[r] = true
                counts[id] -= 1
            }
            if (anchor < 0 && pending.anchor !== null && id === pending.anchor)
                anchor = r
        }
        view.selected = next
        view.anchorRow = anchor
    }
}
