// The text of a menu entry: "Name\tHint", where the name may mark a mnemonic with "&" and show a literal
// ampersand as "&&". Pure functions, shared by the menus and their tests.
.pragma library

// The name as shown: the text before the first tab, every "&" not followed by another one removed, then
// every remaining "&&" shown as one "&".
function name(text) {
    const first = String(text === undefined || text === null ? "" : text).split("\t")[0]
    return first.replace(/&(?!&)/g, "").replace(/&&/g, "&")
}

// The shortcut hint: the piece between the first and any second tab; empty without a tab.
function hint(text) {
    const pieces = String(text === undefined || text === null ? "" : text).split("\t")
    return pieces.length > 1 ? pieces[1] : ""
}

// Data (file, chapter, track, receiver names) made safe for an entry's text: every "&" doubled, so the name
// shows it unchanged and no mnemonic is registered for it.
function literal(text) {
    return String(text === undefined || text === null ? "" : text).replace(/&/g, "&&")
}
