import QtQuick
import QtTest
import Kestrune.MediaPlayer

// The library browser on the real Library.
TestCase {
    id: testCase
    name: "LibraryView"
    when: windowShown
    visible: true
    width: 900
    height: 600

    Component {
        id: viewComponent
        LibraryView {
            width: testCase.width
            height: testCase.height
        }
    }

    function createView() {
        const view = createTemporaryObject(viewComponent, testCase)
        verify(view !== null)
        return view
    }

    function part(view, name) {
        const item = findChild(view, name)
        verify(item !== null, name)
        return item
    }

    readonly property int ctrl: Qt.ControlModifier
    readonly property int shift: Qt.ShiftModifier

    function test_select_data() {
        return [
            { tag: "plain", clicks: [[2, 0]], rows: [2], anchor: 2 },
            { tag: "plain replaces", clicks: [[1, 0], [4, 0]], rows: [4], anchor: 4 },
            { tag: "ctrl adds", clicks: [[1, 0], [3, ctrl]], rows: [1, 3], anchor: 3 },
            { tag: "ctrl removes", clicks: [[1, 0], [3, ctrl], [1, ctrl]], rows: [3], anchor: 1 },
            { tag: "shift with an anchor", clicks: [[2, 0], [5, shift]], rows: [2, 3, 4, 5], anchor: 2 },
            { tag: "shift upwards", clicks: [[5, 0], [2, shift]], rows: [2, 3, 4, 5], anchor: 5 },
            { tag: "shift replaces", clicks: [[0, 0], [7, ctrl], [9, shift]], rows: [7, 8, 9], anchor: 7 },
            { tag: "shift without an anchor", clicks: [[4, shift]], rows: [4], anchor: 4 },
            { tag: "ctrl+shift adds the range", clicks: [[0, 0], [5, ctrl], [7, ctrl | shift]], rows: [0, 5, 6, 7],
              anchor: 5 },
            { tag: "ctrl+shift without an anchor", clicks: [[3, ctrl | shift]], rows: [3], anchor: 3 },
            { tag: "ctrl+shift without an anchor toggles", clicks: [[3, ctrl | shift], [3, ctrl | shift]], rows: [3],
              anchor: 3 },
            { tag: "shift after a ctrl click", clicks: [[1, 0], [6, ctrl], [8, shift]], rows: [6, 7, 8], anchor: 6 }
        ]
    }

    function test_select(data) {
        const view = createView()
        for (const click of data.clicks)
            view.select(click[0], click[1])
        compare(view.selectedRows(), data.rows)
        compare(view.anchorRow, data.anchor)
        view.clearSelection()
        compare(view.selectedRows(), [])
        compare(view.anchorRow, -1)
    }

    function test_fmtDur_data() {
        return [
            { tag: "65 s", us: 65000000, text: "1:05" },
            { tag: "3725 s", us: 3725000000, text: "1:02:05" },
            { tag: "59.6 s", us: 59600000, text: "1:00" },
            { tag: "0", us: 0, text: "" },
            { tag: "negative", us: -5, text: "" },
            { tag: "undefined", us: undefined, text: "" },
            { tag: "10 h", us: 36000000000, text: "10:00:00" }
        ]
    }

    function test_fmtDur(data) {
        compare(createView().fmtDur(data.us), data.text)
    }

    function test_helpers() {
        const view = createView()
        compare(view.root_basename("C:\\Music\\Rock"), "Rock")
        compare(view.root_basename("/m/a\\b/c"), "c")
        compare(view.root_basename("plain"), "plain")
        verify(view.isVideoPath("/v/Clip.MKV"))
        verify(view.isVideoPath("/v/a.m2ts"))
        verify(!view.isVideoPath("/v/a.mp3"))
        verify(!view.isVideoPath("/v/mp4"))
    }

    // Columns are max(1, ⌊(width − 18) ÷ 176⌋); wide views have 16:9 art.
    function test_gridGeometry_data() {
        return [
            { tag: "narrow", width: 150, columns: 1 },
            { tag: "one and a half", width: 300, columns: 1 },
            { tag: "five", width: 900, columns: 5 },
            { tag: "wide window", width: 1400, columns: 7 }
        ]
    }

    function test_gridGeometry(data) {
        const view = createView()
        view.open({ view: "albums" }, "Albums")
        view.width = data.width
        compare(view.gridColumns, data.columns)
        const cell = Math.floor((data.width - 18) / data.columns)
        compare(view.cellWidth, cell)
        compare(view.cellHeight, cell + 46)
        const grid = part(view, "libraryGrid")
        compare(grid.cellWidth, cell)
        view.open({ view: "movies" }, "Movies")
        compare(view.cellHeight, Math.round((cell - 26) * 9 / 16) + 26 + 46)
    }
}
