.pragma library
.import "Formats.js" as Formats

// Texts, marks and fractions of the conversion queue window: pure functions of a job map (the keys of
// Converter.jobs) so they are checked without a queue.

// Time left from seconds; rounded before it is split, so 59.6 s reads as one minute.
function fmtEta(s) {
    if (typeof s !== "number" || !(s >= 0))
        return ""
    const total = Math.round(s)
    const h = Math.floor(total / 3600)
    const m = Math.floor((total % 3600) / 60)
    const sec = total % 60
    if (h > 0)
        return qsTr("%1 h %2 min left").arg(h).arg(m)
    if (m > 0)
        return qsTr("%1 min %2 s left").arg(m).arg(sec)
    return qsTr("%1 s left").arg(sec)
}

function fmtBytes(b) {
    if (b >= 1073741824)
        return (b / 1073741824).toFixed(2) + " GB"
    if (b >= 1048576)
        return (b / 1048576).toFixed(1) + " MB"
    return Math.round(b / 1024) + " KB"
}

// The header's status line from the queue's counts.
function status(running, pending, paused) {
    if (running > 0)
        return qsTr("Converting %1 · %2 waiting").arg(running).arg(pending)
    if (pending > 0)
        return (paused ? qsTr("Paused · %1 waiting") : qsTr("%1 waiting")).arg(pending)
    return qsTr("Nothing to do")
}

const marks = {
    done: { mark: "\u2713", color: "#22c55e" },
    failed: { mark: "!", color: "#ef4444" },
    cancelled: { mark: "\u2013", color: "#9ca3af" },
    running: { mark: "\u25b6", color: "#ff7a45" }
}
const pendingMark = { mark: "\u2026", color: "#9ca3af" }

function stateMark(state) {
    return (marks[state] || pendingMark).mark
}

function stateColor(state) {
    return (marks[state] || pendingMark).color
}

// The filled share of a bar: held to 0..1 so a stray value neither overflows nor goes negative.
function barFraction(progress) {
    const p = Number(progress)
    if (!(p > 0))
        return 0
    return Math.min(1, p)
}

function detail(job, paused) {
    switch (job.state) {
    case "running": {
        const parts = [Math.round(Number(job.progress) * 100) + "%"]
        if (job.passes > 1)
            parts.push(qsTr("pass %1 of %2").arg(job.pass).arg(job.passes))
        if (job.speed > 0)
            parts.push(Number(job.speed).toFixed(1) + "\u00d7")
        if (job.fps > 0)
            parts.push(Math.round(job.fps) + " fps")
        if (job.bytes > 0)
            parts.push(fmtBytes(job.bytes))
        const eta = fmtEta(Number(job.eta))
        if (eta !== "")
            parts.push(eta)
        return parts.join("  \u00b7  ")
    }
    case "failed":
        return job.error
    case "done":
        return job.output
    case "cancelled":
        return qsTr("Cancelled")
    default:
        return paused ? qsTr("Waiting (queue paused)") : qsTr("Waiting")
    }
}

// The job's summary ("MP4 · h264 / aac", container · video / audio) with the codecs named as the conversion
// dialog names them: "MP4 · H.264 / AAC". A text of another shape, or an unknown codec, stays as it is.
function summary(text) {
    const match = /^(.*) \u00b7 (.*) \/ (.*)$/.exec(String(text))
    if (!match)
        return String(text)
    const name = (key, names, none) => key === "copy" ? qsTr("original") : key === "none" ? none
                                                                                         : names[key] || key
    return match[1] + " \u00b7 " + name(match[2], Formats.videoCodecNames, qsTr("no video")) + " / "
        + name(match[3], Formats.audioCodecNames, qsTr("no audio"))
}
