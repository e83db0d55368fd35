import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer
import Kestrune.Test

// The file dialogs where the session bus offers the desktop's file chooser (a fake portal on this test's own
// bus): the portal is asked, its answer is what the caller gets, and the own dialog never shows.
TestCase {
    id: testCase
    name: "FileChooserPortal"
    when: windowShown
    visible: true
    width: 800
    height: 600

    readonly property string folder: TestKit.scratchDir + "/portal"

    FakePortal {
        id: portal
    }

    Component {
        id: exportComponent
        ExportDialog {
            title: "Export Library (CSV)"
            nameFilters: ["CSV (*.csv *.CSV)"]
            defaultSuffix: "csv"
        }
    }

    Component {
        id: chooserComponent
        FileChooser {
            title: "Open media files"
            fileMode: FileChooser.OpenFiles
        }
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function initTestCase() {
        verify(portal.registered, "the fake portal has the portal's name on the bus")
        compare(TestKit.run("rm -rf '" + folder + "' && mkdir -p '" + folder + "' && touch '" + folder
                            + "/taken.csv'"), 0)
    }

    function spy(target, signalName) {
        return createTemporaryObject(spyComponent, testCase, { target: target, signalName: signalName })
    }

    // The desktop's save chooser asked before replacing: a chosen file that exists is taken without a second
    // question.
    function test_saveTakesThePortalsAnswer() {
        const before = portal.questions
        portal.response = 0
        portal.uris = [String(FileUrls.fromLocalPath(folder + "/taken.csv"))]
        const dialog = createTemporaryObject(exportComponent, testCase)
        const accepted = spy(dialog, "accepted")
        dialog.suggest("library.csv")
        dialog.open()
        tryCompare(accepted, "count", 1, 10000)
        compare(portal.questions, before + 1)
        compare(portal.method, "SaveFile")
        compare(portal.title, "Export Library (CSV)")
        compare(String(portal.option("current_name")), "library.csv")
        compare(FileUrls.localPath(dialog.selectedFile), folder + "/taken.csv")
        verify(!findChild(dialog, "replacePrompt").visible)
        verify(!findChild(dialog, "fileDialog").dialog.visible, "the own dialog stays shut")
    }

    function test_openTakesEveryChosenFile() {
        portal.response = 0
        portal.uris = ["file:///media/a%20b.mkv", "file:///media/c.mp4"]
        const chooser = createTemporaryObject(chooserComponent, testCase)
        const accepted = spy(chooser, "accepted")
        chooser.open()
        verify(chooser.visible, "a choice is under way")
        tryCompare(accepted, "count", 1, 10000)
        compare(portal.method, "OpenFile")
        compare(portal.option("multiple"), true)
        compare(chooser.selectedFiles.map(u => FileUrls.localPath(u)), ["/media/a b.mkv", "/media/c.mp4"])
        compare(FileUrls.localPath(chooser.selectedFile), "/media/a b.mkv")
        verify(!chooser.dialog.visible)
        verify(!chooser.visible)
    }

    // Cancelled in the desktop's chooser: the caller hears a rejection, and no dialog of ours follows.
    function test_cancelRejects() {
        portal.response = 1
        portal.uris = []
        const chooser = createTemporaryObject(chooserComponent, testCase)
        const accepted = spy(chooser, "accepted")
        const rejected = spy(chooser, "rejected")
        chooser.open()
        tryCompare(rejected, "count", 1, 10000)
        compare(accepted.count, 0)
        verify(!chooser.dialog.visible)
        verify(!chooser.visible)
    }
}
