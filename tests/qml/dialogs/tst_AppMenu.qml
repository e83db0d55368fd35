import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The styled menu and its entries: the name/hint rule, the mark, the disabled look, the width rule and a
// SelAction that follows the real player.
TestCase {
    id: testCase
    name: "AppMenu"
    width: 520
    height: 360
    visible: true
    when: windowShown

    readonly property string svgIcon: "qrc:/qt/qml/Kestrune/MediaPlayer/icons/shuffle.svg"

    Component { id: menuComponent; AppMenu {} }
    Component { id: actionComponent; Action {} }
    Component { id: selActionComponent; SelAction {} }
    Component {
        id: shuffleMenuComponent
        AppMenu {
            property alias entry: shuffleEntry
            property alias triggers: triggerSpy
            SelAction {
                id: shuffleEntry
                text: "&Shuffle\tS"
                selected: Player.shuffle
                onTriggered: {}
            }
            SignalSpy { id: triggerSpy; target: shuffleEntry; signalName: "triggered" }
        }
    }
    Component {
        id: absentSourceMenuComponent
        AppMenu {
            id: absentSourceMenu
            property var source: null
            SelAction {
                text: "Track 1"
                icon.source: testCase.svgIcon
                selected: absentSourceMenu.source ? absentSourceMenu.source.current : undefined
            }
        }
    }
    Component {
        id: submenuComponent
        AppMenu {
            Action { text: "&Play\tSpace" }
            AppMenu { title: "&Speed\tCtrl+S" }
        }
    }
    Component {
        id: screenshotMenuComponent
        AppMenu {
            Action { text: "&Open Files...\tCtrl+O"; icon.source: testCase.svgIcon }
            SelAction { text: "&Shuffle\tS"; selected: true; icon.source: testCase.svgIcon }
            Action { text: "Quit\tCtrl+Q"; enabled: false; icon.source: testCase.svgIcon }
            MenuSeparator {}
            Action { text: "Cast Settings && Diagnostics..." }
            Action { text: MenuText.literal("Tom & Jerry.mkv") }
            AppMenu { title: "Audio &Track" }
        }
    }

    property bool savedShuffle: false

    function initTestCase() {
        savedShuffle = Player.shuffle
    }

    // Leaves the pointer away from every entry: a move to where it already is would hover nothing.
    function init() {
        mouseMove(testCase, testCase.width - 1, testCase.height - 1)
    }

    function cleanup() {
        Player.shuffle = savedShuffle
        Player.stop()
        Player.clearPlaylist()
    }

    function part(item, name) {
        const found = findChild(item, name)
        verify(found !== null, name)
        return found
    }

    function sameColour(actual, expected, what) {
        verify(Qt.colorEqual(actual, expected), what + ": " + actual + ", expected " + expected)
    }

    // A menu holding the given actions, opened at the top left of the test window.
    function openMenu(actions) {
        const menu = createTemporaryObject(menuComponent, testCase)
        verify(menu !== null)
        for (const action of actions)
            menu.addAction(action)
        return show(menu)
    }

    function show(menu) {
        menu.x = 10
        menu.y = 10
        menu.open()
        tryCompare(menu, "opened", true)
        // Entries are placed when the window is next polished; a pointer moved before that finds none.
        TestKit.waitForFrame(menu.contentItem)
        return menu
    }

    function makeAction(properties) {
        const action = createTemporaryObject(actionComponent, testCase, properties)
        verify(action !== null)
        return action
    }

    function test_nameAndHint_data() {
        return [
            { tag: "mnemonic and hint", text: "&Open Files...\tCtrl+O", name: "Open Files...", hint: "Ctrl+O" },
            { tag: "doubled ampersand, no hint", text: "Cast Settings && Diagnostics...",
              name: "Cast Settings & Diagnostics...", hint: "" },
            { tag: "four ampersands", text: "A&&&&B", name: "A&&B", hint: "" },
            { tag: "trailing pair", text: "Save &&", name: "Save &", hint: "" },
            { tag: "third piece hidden", text: "&Name\tHint\tThird", name: "Name", hint: "Hint" },
            { tag: "literal file name", text: MenuText.literal("Tom & Jerry.mkv"), name: "Tom & Jerry.mkv",
              hint: "" },
            { tag: "literal trailing ampersand", text: MenuText.literal("Rock &"), name: "Rock &", hint: "" },
            { tag: "literal pairs", text: MenuText.literal("A&&B & C") + "\tCtrl+1", name: "A&&B & C",
              hint: "Ctrl+1" },
            { tag: "empty", text: "", name: "", hint: "" },
            { tag: "lone arrow key", text: "Jump Forward\t\u2192", name: "Jump Forward", hint: "\u2192" },
            { tag: "lone comma", text: "Previous Frame\t,", name: "Previous Frame", hint: "," },
        ]
    }
    function test_nameAndHint(row) {
        compare(MenuText.name(row.text), row.name)
        compare(MenuText.hint(row.text), row.hint)

        const menu = openMenu([makeAction({ text: row.text })])
        const item = menu.itemAt(0)
        const name = part(item, "entryName")
        const hint = part(item, "entryHint")
        compare(name.text, row.name)
        compare(hint.text, row.hint)
        compare(name.textFormat, Text.PlainText)
        compare(hint.textFormat, Text.PlainText)
        compare(name.font.family, "Segoe UI")
        compare(name.font.pixelSize, 12)
        // A lone key is drawn larger and bold in the text font, so an arrow or a comma can be read.
        const lone = row.hint.length === 1
        compare(hint.font.family, lone ? "Segoe UI" : "JetBrains Mono")
        compare(hint.font.pixelSize, lone ? 15 : 11)
        compare(hint.font.bold, lone)
    }

    function test_literalDoublesEveryAmpersand() {
        compare(MenuText.literal("Tom & Jerry.mkv"), "Tom && Jerry.mkv")
        compare(MenuText.literal("&&&"), "&&&&&&")
        compare(MenuText.literal("No ampersand"), "No ampersand")
    }

    function test_submenuHintIsAnArrow() {
        const menu = show(createTemporaryObject(submenuComponent, testCase))
        compare(menu.count, 2)
        const entry = menu.itemAt(1)
        verify(entry.subMenu !== null)
        compare(part(entry, "entryName").text, "Speed")
        const hint = part(entry, "entryHint")
        compare(hint.text, "\u203a")
        compare(hint.font.family, "Segoe UI")
        compare(hint.font.pixelSize, 15)
        // The plain entry beside it keeps its shortcut hint.
        compare(part(menu.itemAt(0), "entryHint").text, "Space")
    }

    function test_marked_data() {
        return [
            { tag: "selected true", selected: true, checkable: false, checked: false, marked: true },
            { tag: "selected false", selected: false, checkable: false, checked: false, marked: false },
            { tag: "selected undefined", selected: undefined, checkable: false, checked: false, marked: false },
            { tag: "selected \"true\"", selected: "true", checkable: false, checked: false, marked: false },
            { tag: "selected 1", selected: 1, checkable: false, checked: false, marked: false },
            { tag: "checked checkable Action", checkable: true, checked: true, marked: true },
            { tag: "unchecked checkable Action", checkable: true, checked: false, marked: false },
            { tag: "plain Action", checkable: false, checked: false, marked: false },
        ]
    }
    function test_marked(row) {
        let action
        if ("selected" in row) {
            action = createTemporaryObject(selActionComponent, testCase, { text: "Entry" })
            action.selected = row.selected
        } else {
            action = makeAction({ text: "Entry", checkable: row.checkable, checked: row.checked })
        }
        action.icon.source = svgIcon
        const item = openMenu([action]).itemAt(0)
        compare(item.marked, row.marked)
        compare(part(item, "entryMark").visible, row.marked)
        // The check takes the icon's place: the icon hides only when marked.
        compare(part(item, "entryIcon").visible, !row.marked)
    }

    function test_noIconNoMark() {
        const item = openMenu([makeAction({ text: "Plain" })]).itemAt(0)
        verify(!item.marked)
        verify(!part(item, "entryIcon").visible)
        verify(!part(item, "entryMark").visible)
    }

    function test_selActionFollowsThePlayer() {
        Player.shuffle = false
        const menu = show(createTemporaryObject(shuffleMenuComponent, testCase))
        const item = menu.itemAt(0)
        verify(!menu.entry.checkable)
        verify(!item.marked)
        Player.shuffle = true
        verify(item.marked)
        Player.shuffle = false
        verify(!item.marked)
        Player.shuffle = true

        // A click runs the handler, which changes nothing: the mark stays as the player says.
        mouseClick(item)
        compare(menu.triggers.count, 1)
        tryCompare(menu, "opened", false)
        compare(Player.shuffle, true)
        show(menu)
        verify(menu.itemAt(0).marked)
        verify(!menu.entry.checked)
        Player.shuffle = false
        verify(!menu.itemAt(0).marked)
        mouseClick(menu.itemAt(0))
        compare(menu.triggers.count, 2)
        compare(Player.shuffle, false)
        show(menu)
        verify(!menu.itemAt(0).marked)
    }

    // The object a binding reads may come and go (no media, a closed session): without it nothing is marked
    // and the icon shows.
    function test_selActionReadingAnAbsentObject() {
        const menu = show(createTemporaryObject(absentSourceMenuComponent, testCase))
        const item = menu.itemAt(0)
        verify(!item.marked)
        verify(part(item, "entryIcon").visible)
        menu.source = { current: true }
        verify(item.marked)
        verify(!part(item, "entryIcon").visible)
        menu.source = null
        verify(!item.marked)
        verify(part(item, "entryIcon").visible)
    }

    function test_disabledEntry() {
        const disabled = makeAction({ text: "&Quit\tCtrl+Q", enabled: false })
        const enabled = makeAction({ text: "&Play\tSpace" })
        disabled.icon.source = svgIcon
        enabled.icon.source = svgIcon
        const menu = openMenu([disabled, enabled])
        const off = menu.itemAt(0)
        const on = menu.itemAt(1)
        sameColour(part(off, "entryName").color, "#5f646d", "disabled name")
        sameColour(part(off, "entryHint").color, "#5f646d", "disabled hint")
        compare(part(off, "entryIcon").opacity, 0.4)
        sameColour(part(on, "entryHint").color, "#9ca3af", "enabled hint")
        compare(part(on, "entryIcon").opacity, 1)

        // Hovering the enabled entry highlights it; the disabled one never shows a highlight.
        mouseMove(on, on.width / 2, on.height / 2)
        tryVerify(() => on.highlighted)
        sameColour(part(on, "entryBackground").color, "#3a3d44", "hovered entry")
        sameColour(part(on, "entryName").color, "#ffffff", "hovered name")
        mouseMove(off, off.width / 2, off.height / 2)
        wait(50)
        sameColour(part(off, "entryBackground").color, "transparent", "hovered disabled entry")
        off.highlighted = true
        sameColour(part(off, "entryBackground").color, "transparent", "highlighted disabled entry")
        sameColour(part(off, "entryName").color, "#5f646d", "highlighted disabled name")
    }

    function test_widthFollowsTheWidestEntry() {
        const menu = openMenu([makeAction({ text: "&Play\tSpace" })])
        compare(menu.width, 230)
        compare(menu.itemAt(0).width, 230)

        const wide = makeAction({ text: "A rather long entry name, long enough to need more room\tCtrl+Shift+Alt+F12" })
        menu.insertAction(0, wide)
        const item = menu.itemAt(0)
        const name = part(item, "entryName")
        const hint = part(item, "entryHint")
        const wanted = name.implicitWidth + hint.implicitWidth + 70
        verify(wanted > 230, "the long entry needs " + wanted)
        tryCompare(menu, "width", wanted)
        compare(item.width, wanted)
        compare(menu.itemAt(1).width, wanted)
        verify(!name.truncated)
        // Squeezed below its widest entry, the name gives way at its right end.
        menu.width = 230
        tryCompare(name, "truncated", true)
    }

    function test_moduleSvgIconLoads() {
        const action = makeAction({ text: "Shuffle" })
        action.icon.source = svgIcon
        const icon = part(openMenu([action]).itemAt(0), "entryIcon")
        tryCompare(icon, "status", Image.Ready)
        compare(icon.sourceSize.width, 32)
        compare(icon.width, 16)
    }

    function test_screenshot() {
        const menu = show(createTemporaryObject(screenshotMenuComponent, testCase))
        const hovered = menu.itemAt(0)
        mouseMove(hovered, hovered.width / 2, hovered.height / 2)
        tryVerify(() => hovered.highlighted)
        tryCompare(part(hovered, "entryIcon"), "status", Image.Ready)
        TestKit.waitForFrame(testCase)
        verify(TestKit.screenshot(menu.background, "AppMenu") !== "")
    }
}
