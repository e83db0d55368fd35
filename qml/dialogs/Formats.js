.pragma library

// Texts the dialogs show for durations, sizes and codecs.

// Display names of the conversion codecs, as the conversion dialog and the queue show them.
const videoCodecNames = {
    h264: "H.264", hevc: "HEVC (H.265)", vp9: "VP9", av1: "AV1", mpeg4: "MPEG-4 Part 2", mpeg2: "MPEG-2"
}
const audioCodecNames = {
    aac: "AAC", opus: "Opus", mp3: "MP3", flac: "FLAC", alac: "ALAC", ac3: "AC-3", pcm: "PCM (WAV)"
}

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
