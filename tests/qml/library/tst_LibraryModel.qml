import QtQuick
import QtTest
import Kestrune.MediaPlayer

// A library item's cover as the view shows it: the model's "cover" URL with a size, answered by the
// "library" image provider from the covers folder, which keeps the thumbnail it made.
TestCase {
    id: testCase
    name: "LibraryModel"
    when: windowShown
    visible: true
    width: 300
    height: 300

    readonly property string dataDir: TestKit.scratchDir + "/data/Kestrune/Kestrune Media Player"

    LibraryModel {
        id: libModel
        library: Library
        params: ({ view: "tracks" })
    }

    Repeater {
        id: tiles
        model: libModel
        delegate: Image {
            required property string cover
            required property string title
            width: 256
            height: 256
            source: cover ? cover + "/256" : ""
            sourceSize: Qt.size(256, 256)
            asynchronous: true
        }
    }

    // The runner opens the seeded library; this test counts on an empty one.
    function initTestCase() {
        verify(TestLibrary.reopen("empty"))
    }

    function sh(commandLine) {
        compare(TestKit.run(commandLine), 0, commandLine)
    }

    function test_itemShowsItsCover() {
        const covers = dataDir + "/covers"
        // A 640 × 360 cover in one colour, and an item of the library that names it.
        sh("ffmpeg -hide_banner -loglevel error -y -f lavfi -i color=c=0x20c040:s=640x360 -frames:v 1 '"
           + covers + "/etestcover.jpg'")
        sh("sqlite3 -cmd '.timeout 10000' '" + dataDir + "/library.db' \"INSERT INTO sources(uri, kind, available, "
           + "u_title, cover_key, date_added) VALUES('/media/green.mp3', 'audio', 1, 'Green Song', 'etestcover', 0)\"")
        libModel.reload()
        compare(libModel.count, 1)
        compare(tiles.count, 1)
        const tile = tiles.itemAt(0)
        compare(tile.title, "Green Song")
        compare(String(tile.source), "image://library/etestcover/256")
        tryCompare(tile, "status", Image.Ready, 20000)
        compare(tile.implicitWidth, 256)
        compare(tile.implicitHeight, 144)

        TestKit.waitForFrame(tile)
        const grabbed = grabImage(tile)
        const c = grabbed.pixel(128, 128)
        verify(Math.abs(c.r - 0x20 / 255) < 0.1 && Math.abs(c.g - 0xc0 / 255) < 0.1
               && Math.abs(c.b - 0x40 / 255) < 0.1, "the cover's colour: " + c)
        sh("test -s '" + covers + "/etestcover_256.jpg'")
    }
}
