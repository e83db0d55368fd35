.pragma library

// Texts the dialogs show for durations and sizes.

// "h:mm:ss" of whole seconds; hours unpadded and unlimited. "unknown" for a missing, zero or negative time.
function fmtDuration(us) {
    if (us === undefined || us === null || !(us > 0))
        return qsTr("unknown")
    const s = Math.floor(us / 1000000)
    const h = Math.floor(s / 3600)
    const m = Math.floor((s % 3600) / 60)
    const sec = s % 60
    return h + ":" + (m < 10 ? "0" : "") + m + ":" + (sec < 10 ? "0" : "") + sec
}

// GiB with two decimals, MiB with one, else whole KiB. "unknown" for a missing, zero or negative size.
function fmtSize(b) {
    if (b === undefined || b === null || !(b > 0))
        return qsTr("unknown")
    if (b >= 1073741824)
        return (b / 1073741824).toFixed(2) + " GiB"
    if (b >= 1048576)
        return (b / 1048576).toFixed(1) + " MiB"
    return Math.round(b / 1024) + " KiB"
}
