import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

TestCase {
    id: testCase
    name: "ShortcutsDialog"
    when: windowShown
    width: 800
    height: 720

    Component {
        id: hostComponent
        Rectangle {
            color: "#0a0b0d"
            width: 720
            property alias dialog: dialog
            ShortcutsDialog { id: dialog }
        }
    }

    // Every item under root with this object name, in the order they are laid out.
    function collect(root, name, into) {
        into = into || []
        for (let i = 0; i < root.children.length; ++i) {
            const child = root.children[i]
            if (child.objectName === name)
                into.push(child)
            collect(child, name, into)
        }
        return into
    }

    function openIn(height) {
        const host = createTemporaryObject(hostComponent, testCase, { height: height })
        host.dialog.open()
        tryCompare(host.dialog, "opened", true)
        return host
    }

    function test_rowsInOrder() {
        const dialog = openIn(720).dialog
        const expected = [
            ["Playback", ["Space", "← / →", "Shift+← / Shift+→", "Home", "0 … 9", ", / .", "[ / ]", "Backspace",
                          "PgUp / PgDn", "Shift+PgUp / Shift+PgDn", "R", "Ctrl+W"]],
            ["Audio", ["↑ / ↓", "M", "B"]],
            ["Subtitles", ["V", "G / H", "Ctrl+↑ / Ctrl+↓"]],
            ["Video & window", ["F11 / F / double-click", "Esc", "A", "Z", "Shift+S", "Ctrl+T", "Ctrl+L", "Ctrl+I"]],
            ["Files", ["Ctrl+O", "Ctrl+Shift+O", "Ctrl+U", "Ctrl+S", "Delete", "Ctrl+P", "Ctrl+Q"]],
            ["Library, effects & casting", ["Ctrl+B", "Ctrl+F", "Ctrl+Shift+L", "Alt+←", "Ctrl+E", "Ctrl+R",
                                            "Ctrl+Shift+C", "Ctrl+Shift+P"]],
        ]
        const groups = findChild(dialog.contentItem, "groups")
        compare(groups.count, 6)
        let rows = 0
        for (let g = 0; g < expected.length; ++g) {
            const group = groups.itemAt(g)
            compare(findChild(group, "groupTitle").text, expected[g][0])
            const keys = collect(group, "keys").map(label => label.text)
            compare(keys, expected[g][1], expected[g][0])
            rows += keys.length
        }
        compare(rows, 41)
        // Spot checks of the descriptions beside their keys, and of the fixed key column.
        const all = collect(groups.parent, "shortcutRow")
        compare(all.length, 41)
        compare(all[0].description, "Play / pause")
        compare(all[1].description, "Jump back / forward (see Preferences)")
        compare(all[40].description, "Performance overlay")
        for (const row of all)
            compare(findChild(row, "keys").width, 190, row.keys)
        compare(findChild(all[0], "keys").font.family, "JetBrains Mono")
    }

    function test_height_data() {
        return [
            { tag: "low window", parent: 400, height: 340 },
            { tag: "exactly 700", parent: 700, height: 640 },
            { tag: "tall window", parent: 1000, height: 640 },
        ]
    }

    function test_height(data) {
        const dialog = openIn(data.parent).dialog
        compare(dialog.height, data.height)
        compare(dialog.y + dialog.height / 2, data.parent / 2)
    }

    // Inside a low window the table scrolls; a long description wraps instead of widening the row.
    function test_lowWindowScrolls() {
        const host = openIn(400)
        const scroll = findChild(host.dialog.contentItem, "shortcutsScroll")
        const flick = scroll.contentItem
        verify(flick.contentHeight > flick.height + 200, flick.contentHeight + " in " + flick.height)
        compare(flick.contentY, 0)
        // The bar shows at rest: there is more below.
        const bar = scroll.ScrollBar.vertical
        compare(bar.policy, ScrollBar.AlwaysOn)
        tryVerify(() => bar.visible && bar.contentItem.opacity > 0.5, 5000, "the bar at rest")
        mouseWheel(scroll, scroll.width / 2, scroll.height / 2, 0, -600)
        tryVerify(() => flick.contentY > 0)
        compare(flick.contentWidth, scroll.availableWidth)
        // Down to the end, where the last row shows whole.
        for (let i = 0; i < 60 && !flick.atYEnd; ++i)
            mouseWheel(scroll, scroll.width / 2, scroll.height / 2, 0, -360)
        tryVerify(() => flick.atYEnd, 5000, "scrolled to the end")
        const rows = collect(scroll, "shortcutRow")
        const last = rows[rows.length - 1]
        const bottom = last.mapToItem(scroll, 0, last.height).y
        verify(bottom <= scroll.height + 0.5, "the last row ends at " + bottom + " of " + scroll.height)
        TestKit.screenshot(host, "ShortcutsDialogEnd")

        const first = collect(scroll, "description")[1]
        first.text = "A description far too long for its line, so long that it has to wrap at word boundaries"
        verify(first.lineCount > 1)
        verify(first.x + first.width <= scroll.availableWidth)
        compare(findChild(first.parent, "keys").width, 190)
    }

    function test_screenshot() {
        const host = openIn(720)
        wait(50)
        TestKit.screenshot(host, "ShortcutsDialog")
    }
}
