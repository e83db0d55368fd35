import QtQuick
import QtTest
import Kestrune.MediaPlayer

TestCase {
    name: "Visualizer"

    Component {
        id: visualizer
        Visualizer {}
    }

    function test_createdFromQmlWithItsDefaults() {
        const v = createTemporaryObject(visualizer, null)
        verify(v !== null)
        compare(v.mode, 1)
        compare(v.bands, 32)
        compare(v.running, false)
        compare(v.bridge, null)
    }

    function test_modeIsClamped_data() {
        return [{ tag: "0", value: 0, expected: 1 }, { tag: "3", value: 3, expected: 3 },
                { tag: "9", value: 9, expected: 4 }, { tag: "-2", value: -2, expected: 1 }]
    }
    function test_modeIsClamped(row) {
        const v = createTemporaryObject(visualizer, null)
        v.mode = row.value
        compare(v.mode, row.expected)
    }

    function test_bandsSnapToTheNextSize_data() {
        return [{ tag: "0", value: 0, expected: 16 }, { tag: "16", value: 16, expected: 16 },
                { tag: "17", value: 17, expected: 32 }, { tag: "20", value: 20, expected: 32 },
                { tag: "33", value: 33, expected: 64 }, { tag: "100", value: 100, expected: 64 }]
    }
    function test_bandsSnapToTheNextSize(row) {
        const v = createTemporaryObject(visualizer, null)
        v.bands = row.value
        compare(v.bands, row.expected)
    }
}
