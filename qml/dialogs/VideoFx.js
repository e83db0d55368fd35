// The Video page's tables and the pure functions behind its readouts, its look box, its diagnostics line
// and its black-bar detection. Shared by the page and its tests.
.pragma library

// Colour looks: the first whose six values equal the working ones names the look box.
const looks = [
    { name: "Default", brightness: 0, contrast: 1, saturation: 1, hue: 0, gamma: 1, temperature: 6500 },
    { name: "Cinematic", brightness: -0.02, contrast: 1.12, saturation: 0.85, hue: 0, gamma: 1, temperature: 5800 },
    { name: "Vivid", brightness: 0.02, contrast: 1.15, saturation: 1.4, hue: 0, gamma: 1, temperature: 6500 },
    { name: "Black & White", brightness: 0, contrast: 1.05, saturation: 0, hue: 0, gamma: 1, temperature: 6500 },
    { name: "Sepia", brightness: 0, contrast: 1.0, saturation: 0, hue: 0, gamma: 1, temperature: 3800 },
    { name: "Cool", brightness: 0, contrast: 1.0, saturation: 1, hue: 0, gamma: 1, temperature: 8500 },
    { name: "Warm", brightness: 0, contrast: 1.0, saturation: 1.05, hue: 0, gamma: 1, temperature: 4800 },
]

const colorKeys = ["brightness", "contrast", "saturation", "hue", "gamma", "temperature"]

// The colour sliders, top to bottom: range, step, default and how the readout shows the value.
const colorSliders = [
    { key: "brightness", label: "Brightness", from: -1, to: 1, step: 0.01, def: 0, scale: 100, decimals: 0, suffix: " %" },
    { key: "contrast", label: "Contrast", from: 0, to: 2, step: 0.01, def: 1, scale: 100, decimals: 0, suffix: " %" },
    { key: "saturation", label: "Saturation", from: 0, to: 2, step: 0.01, def: 1, scale: 100, decimals: 0, suffix: " %" },
    { key: "hue", label: "Hue", from: -180, to: 180, step: 1, def: 0, scale: 1, decimals: 0, suffix: "\u00b0" },
    { key: "gamma", label: "Gamma", from: 0.1, to: 3, step: 0.01, def: 1, scale: 1, decimals: 2, suffix: "" },
    { key: "temperature", label: "Color temperature", from: 2000, to: 12000, step: 100, def: 6500, scale: 1, decimals: 0,
      suffix: " K" },
]

// Method choices: key as the player takes it, label as the box shows it.
const sharpenMethods = [
    { key: "cas", label: "Contrast-adaptive (CAS)" },
    { key: "unsharp", label: "Unsharp mask" },
]
const denoiseMethods = [
    { key: "atadenoise", label: "Temporal (fast)" },
    { key: "nlmeans", label: "Non-local means (slow, best)" },
    { key: "fftdnoiz", label: "FFT" },
]
const deinterlaceModes = [
    { key: "off", label: "Off" },
    { key: "auto", label: "Automatic (interlaced frames only)" },
    { key: "on", label: "Always" },
]
const deinterlaceMethods = [
    { key: "bwdif", label: "bwdif" },
    { key: "yadif", label: "yadif" },
    { key: "w3fdif", label: "w3fdif" },
    { key: "estdif", label: "estdif" },
]
const interpolateRates = [
    { key: 48, label: "48" },
    { key: 50, label: "50" },
    { key: 60, label: "60" },
    { key: 120, label: "120" },
]

const rotations = [0, 90, 180, 270]

const amber = "#fbbf24"
const grey = "#5f646d"

function labels(table) {
    return table.map(entry => entry.label)
}

// The position of key in table; the first entry when the key is absent or unknown.
function indexOf(table, key) {
    const index = table.findIndex(entry => entry.key === key)
    return index < 0 ? 0 : index
}

function number(value, fallback) {
    const n = Number(value)
    return value === undefined || value === null || value === "" || !isFinite(n) ? fallback : n
}

function readout(slider, value) {
    return (number(value, slider.def) * slider.scale).toFixed(slider.decimals) + slider.suffix
}

// The index of the first look the working values match, -1 ("Custom") otherwise. The values are compared
// as they are: a map lacking one of them matches nothing.
function lookIndex(v) {
    if (!v)
        return -1
    for (const key of colorKeys) {
        if (typeof v[key] !== "number" || !isFinite(v[key]))
            return -1
    }
    return looks.findIndex(look => colorKeys.every(key => {
        const tolerance = key === "temperature" ? 1 : 0.001
        return Math.abs(v[key] - look[key]) <= tolerance
    }))
}

function lookName(v) {
    const index = lookIndex(v)
    return index < 0 ? "Custom" : looks[index].name
}

// The rotation the player applies: 90, 180 or 270, anything else none.
function rotation(v) {
    const r = Number(v ? v.rotate : 0)
    return r === 90 || r === 180 || r === 270 ? r : 0
}

// The interpolation rate shown: 60 when absent, the first entry for a rate the box does not offer.
function rateIndex(v) {
    const fps = v && v.interpolateFps !== undefined ? Number(v.interpolateFps) : 60
    return indexOf(interpolateRates, fps)
}

// template with %1, %2, ... replaced in one pass: a value that itself holds "%2" stays as it is.
function arg(template, values) {
    return template.replace(/%(\d)/g, (match, n) => n >= 1 && n <= values.length ? String(values[n - 1]) : match)
}

function fixed1(value) {
    return number(value, 0).toFixed(1)
}

function diagnosticsText(diag) {
    const d = diag || {}
    const graph = d.videoGraph === undefined || d.videoGraph === null || String(d.videoGraph) === ""
        ? "none" : String(d.videoGraph)
    return arg("Active video filters: %1\nPer frame: GPU download %2 ms \u00b7 filters %3 ms \u00b7 budget %4 ms",
               [graph, fixed1(d.transferMs), fixed1(d.filterMs), fixed1(d.frameBudgetMs)])
}

// Amber once the filters and the hardware download take more than half a frame's time; without a known
// frame rate there is no budget to exceed.
function diagnosticsColor(diag) {
    const d = diag || {}
    const budget = number(d.frameBudgetMs, 0)
    const cost = number(d.filterMs, 0) + number(d.transferMs, 0)
    return budget > 0 && cost > 0.5 * budget ? amber : grey
}

// The crops that take away the bars found in the picture shown. That picture has already been cropped, then
// rotated, then flipped: the found sides are taken back through the flips, then through the rotation, onto
// the source's sides, and added to the crops in force.
function cropsAfterDetection(v, found) {
    let left = number(found.left, 0)
    let top = number(found.top, 0)
    let right = number(found.right, 0)
    let bottom = number(found.bottom, 0)
    if (v && v.hflip === true)
        [left, right] = [right, left]
    if (v && v.vflip === true)
        [top, bottom] = [bottom, top]
    // Shown sides (left, top, right, bottom) → source sides.
    let source
    switch (rotation(v)) {
    case 90: // clockwise: the source's left is shown on top
        source = { left: top, top: right, right: bottom, bottom: left }
        break
    case 180:
        source = { left: right, top: bottom, right: left, bottom: top }
        break
    case 270: // counter-clockwise: the source's top is shown on the left
        source = { left: bottom, top: left, right: top, bottom: right }
        break
    default:
        source = { left: left, top: top, right: right, bottom: bottom }
    }
    const crop = key => Math.max(0, Math.round(number(v ? v[key] : 0, 0)))
    return {
        cropLeft: crop("cropLeft") + source.left,
        cropTop: crop("cropTop") + source.top,
        cropRight: crop("cropRight") + source.right,
        cropBottom: crop("cropBottom") + source.bottom,
    }
}

function detectionNote(crops) {
    return arg("Found: left %1, top %2, right %3, bottom %4 \u2014 applied.",
               [crops.cropLeft, crops.cropTop, crops.cropRight, crops.cropBottom])
}

const noBarsNote = "No black bars found in the current picture."
