.pragma library

// Tables and pure functions of the effects window's Audio page: kept out of the controls so they can be
// checked with plain values.

// Centre frequencies of the ten equaliser bands, in Hz.
const bandFreqs = [31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000]
const bandLabels = ["31", "62", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"]

// Values closer than this to a preset's count as the preset.
const matchTolerance = 0.05

const normalizeModes = [
    { key: "off", label: qsTr("Off") },
    { key: "ebur128", label: qsTr("EBU R128 (loudness)") },
    { key: "rgtrack", label: qsTr("ReplayGain \u2013 track") },
    { key: "rgalbum", label: qsTr("ReplayGain \u2013 album") }
]

// One row per kind in the order "Add Effect…" lists them; the sliders in the order shown.
const effectKinds = [
    {
        kind: "compressor", name: qsTr("Compressor"), params: [
            { key: "threshold", label: qsTr("Threshold"), from: -60, to: 0, step: 0.5, def: -20, suffix: " dB" },
            { key: "ratio", label: qsTr("Ratio"), from: 1, to: 20, step: 0.1, def: 3, suffix: ":1" },
            { key: "attack", label: qsTr("Attack"), from: 0.1, to: 200, step: 0.1, def: 10, suffix: " ms" },
            { key: "release", label: qsTr("Release"), from: 10, to: 2000, step: 10, def: 200, suffix: " ms" },
            { key: "makeup", label: qsTr("Makeup gain"), from: 0, to: 24, step: 0.5, def: 0, suffix: " dB" }
        ]
    },
    {
        kind: "limiter", name: qsTr("Limiter"), params: [
            { key: "limit", label: qsTr("Ceiling"), from: -12, to: 0, step: 0.1, def: -1, suffix: " dB" },
            { key: "attack", label: qsTr("Attack"), from: 0.1, to: 80, step: 0.1, def: 5, suffix: " ms" },
            { key: "release", label: qsTr("Release"), from: 1, to: 1000, step: 1, def: 50, suffix: " ms" }
        ]
    },
    {
        kind: "widener", name: qsTr("Stereo widener"), params: [
            { key: "amount", label: qsTr("Width"), from: 0, to: 4, step: 0.05, def: 1.5, suffix: "\u00d7" }
        ]
    },
    {
        kind: "bass", name: qsTr("Bass boost"), params: [
            { key: "gain", label: qsTr("Gain"), from: -12, to: 12, step: 0.5, def: 6, suffix: " dB" },
            { key: "frequency", label: qsTr("Frequency"), from: 40, to: 250, step: 5, def: 100, suffix: " Hz" }
        ]
    },
    {
        kind: "treble", name: qsTr("Treble boost"), params: [
            { key: "gain", label: qsTr("Gain"), from: -12, to: 12, step: 0.5, def: 6, suffix: " dB" },
            { key: "frequency", label: qsTr("Frequency"), from: 2000, to: 12000, step: 100, def: 3000, suffix: " Hz" }
        ]
    },
    {
        kind: "voice", name: qsTr("Voice enhancement"), params: [
            { key: "amount", label: qsTr("Amount"), from: 0, to: 12, step: 0.5, def: 5, suffix: " dB" }
        ]
    }
]

// Values for threshold, ratio, attack, release and makeup; the box's first entry is "Presets…".
const compressorPresets = [
    { name: qsTr("Light"), values: { threshold: -18, ratio: 2, attack: 20, release: 250, makeup: 2 } },
    { name: qsTr("Medium"), values: { threshold: -22, ratio: 3, attack: 10, release: 200, makeup: 4 } },
    { name: qsTr("Heavy"), values: { threshold: -28, ratio: 6, attack: 5, release: 150, makeup: 8 } },
    { name: qsTr("Late Night"), values: { threshold: -32, ratio: 8, attack: 5, release: 300, makeup: 10 } }
]

// The row of a kind; an unknown kind is shown as a compressor.
function effectKind(kind) {
    for (const k of effectKinds) {
        if (k.kind === kind)
            return k
    }
    return effectKinds[0]
}

// Readouts show one decimal for fractional steps, none for whole ones.
function decimalsFor(step) {
    return step < 1 ? 1 : 0
}

function numberOr(value, fallback) {
    return typeof value === "number" && isFinite(value) ? value : fallback
}

// The name of the first preset (built-ins come first) whose preamp and ten bands are all within the
// tolerance of a's, or "" (also when a has no bands).
function matchName(presets, a) {
    if (!a || !Array.isArray(a.bands))
        return ""
    const preamp = numberOr(a.preamp, 0)
    for (const p of presets || []) {
        if (Math.abs(numberOr(p.preamp, 0) - preamp) >= matchTolerance)
            continue
        const bands = p.bands || []
        let same = true
        for (let i = 0; i < bandFreqs.length; ++i) {
            if (Math.abs(numberOr(bands[i], 0) - numberOr(a.bands[i], 0)) >= matchTolerance) {
                same = false
                break
            }
        }
        if (same)
            return p.name
    }
    return ""
}

// Estimated gain in dB at f Hz of the ten bells (0.42 octave standard deviation) plus the preamp.
function curveGain(bands, preamp, f) {
    let g = numberOr(preamp, 0)
    for (let i = 0; i < bandFreqs.length; ++i) {
        const gain = bands ? numberOr(bands[i], 0) : 0
        if (gain === 0)
            continue
        const o = Math.log2(f / bandFreqs[i])
        g += gain * Math.exp(-o * o / (2 * 0.42 * 0.42))
    }
    return g
}

// Frequency at x of a logarithmic 20 Hz…20 kHz axis of the given width.
function curveFreq(x, width) {
    return 20 * Math.pow(1000, x / width)
}

// "+3.5", "0.0", "-20.0".
function gainLabel(value) {
    const v = numberOr(value, 0)
    const text = v.toFixed(1)
    return v > 0 && text !== "0.0" ? "+" + text : text === "-0.0" ? "0.0" : text
}

function dbText(value) {
    return isNaN(value) ? "\u2014" : value.toFixed(2) + " dB"
}

// The line under the ReplayGain sliders; unknown gains arrive as NaN.
function replayGainHint(trackDb, albumDb) {
    if (isNaN(trackDb) && isNaN(albumDb))
        return qsTr("This file has no ReplayGain tags; it plays unchanged.")
    return qsTr("This file: track %1, album %2").arg(dbText(trackDb)).arg(dbText(albumDb))
}

function normalizeIndex(key) {
    for (let i = 0; i < normalizeModes.length; ++i) {
        if (normalizeModes[i].key === key)
            return i
    }
    return 0
}
