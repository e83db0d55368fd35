import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Qt.labs.folderlistmodel
import Kestrune.MediaPlayer

// The player's own file dialog, driven with keys and the pointer as a user would. The test's session bus
// offers no desktop file chooser, so every chooser here opens the own dialog.
TestCase {
    id: testCase
    name: "FileChooser"
    when: windowShown
    // The chooser reads as visible only inside a visible item, as in a window.
    visible: true
    width: 900
    height: 640

    readonly property string root: TestKit.scratchDir + "/chooser"

    Component {
        id: chooserComponent
        FileChooser {
            title: "Pick"
        }
    }

    Component {
        id: spyComponent
        SignalSpy {}
    }

    function sh(command) {
        compare(TestKit.run(command), 0, command)
    }

    function init() {
        sh("rm -rf '" + root + "' && mkdir -p '" + root + "/Empty' '" + root + "/Clips'")
    }

    // A chooser open on folder, with spies on its answers.
    function openOn(folder, properties) {
        const props = Object.assign({ currentFolder: FileUrls.fromLocalPath(folder) }, properties || {})
        const chooser = createTemporaryObject(chooserComponent, testCase, props)
        const accepted = createTemporaryObject(spyComponent, testCase, { target: chooser, signalName: "accepted" })
        const rejected = createTemporaryObject(spyComponent, testCase, { target: chooser, signalName: "rejected" })
        chooser.open()
        tryCompare(chooser.dialog, "opened", true, 10000)
        TestKit.waitForFrame(testCase.Window.window)
        return { chooser: chooser, accepted: accepted, rejected: rejected }
    }

    function part(t, name) {
        const item = findChild(t.chooser.dialog.contentItem, name) || findChild(t.chooser.dialog.footer, name)
        verify(item !== null, name)
        return item
    }

    function type(field, text) {
        mouseClick(field)
        field.selectAll()
        keyClick(Qt.Key_Delete)
        for (const character of text)
            keyClick(character)
        compare(field.text, text)
    }

    // The names the list shows, in order, once the folder has been read: the folder is listed on a thread of its
    // own, and until then the list is empty.
    function listed(t) {
        const list = part(t, "chooserList")
        tryVerify(() => list.model.status === FolderListModel.Ready
                  && (list.count === 0 || list.itemAtIndex(list.count - 1) !== null), 5000, "rows made")
        const names = []
        for (let i = 0; i < list.count; ++i)
            names.push(findChild(list.itemAtIndex(i), "rowName").text)
        return names
    }

    function test_opensTheOwnDialogWithoutAPortal() {
        const t = openOn(root)
        verify(t.chooser.visible)
        compare(part(t, "pathField").text, root)
        compare(part(t, "chooserAccept").text, "Open")
        compare(listed(t), ["Clips/", "Empty/"])
        TestKit.screenshot(testCase.Window.window, "FileChooserOpen")
    }

    // Return accepts from the name field, the accept button by a click; either way the typed name is chosen,
    // in the folder shown, with the default suffix added to a bare name.
    function test_typedNameIsSaved_data() {
        return [
            { tag: "click Save", typed: "Road trip", accept: "click", name: "Road trip.m3u8" },
            { tag: "Return", typed: "Mix #1 & <b>x<b>.m3u", accept: "return", name: "Mix #1 & <b>x<b>.m3u" },
            { tag: "subfolder path", typed: "Clips/list", accept: "return", name: "Clips/list.m3u8" }
        ]
    }

    function test_typedNameIsSaved(data) {
        const t = openOn(root, { fileMode: FileChooser.SaveFile, defaultSuffix: "m3u8",
                                 nameFilters: ["M3U8 playlist (*.m3u8)"] })
        compare(part(t, "chooserAccept").text, "Save")
        type(part(t, "nameField"), data.typed)
        if (data.accept === "click")
            mouseClick(part(t, "chooserAccept"))
        else
            keyClick(Qt.Key_Return)
        tryCompare(t.accepted, "count", 1)
        compare(FileUrls.localPath(t.chooser.selectedFile), root + "/" + data.name)
        verify(String(t.chooser.selectedFile).startsWith("file:///"))
        tryCompare(t.chooser, "visible", false)
    }

    function test_pathFieldChangesFolder() {
        sh("touch '" + root + "/Clips/a.mp4'")
        const t = openOn(TestKit.scratchDir)
        type(part(t, "pathField"), root + "/Clips")
        keyClick(Qt.Key_Return)
        tryCompare(t.chooser, "currentFolder", FileUrls.fromLocalPath(root + "/Clips"))
        tryVerify(() => listed(t).join() === "a.mp4", 5000, "the new folder listed")
        compare(t.accepted.count, 0)
        // A path that is no folder stays in the field with a word why.
        type(part(t, "pathField"), root + "/nowhere")
        keyClick(Qt.Key_Return)
        compare(part(t, "chooserError").text, "\"" + root + "/nowhere\" is not a folder.")
        compare(t.chooser.currentFolder, FileUrls.fromLocalPath(root + "/Clips"))
        // The up button goes back.
        mouseClick(part(t, "upButton"))
        tryCompare(t.chooser, "currentFolder", FileUrls.fromLocalPath(root))
    }

    // Names are data: markup and ampersands list as they are written, and a click then Open picks that file.
    function test_namesListAsWritten() {
        sh("cd '" + root + "/Clips' && touch '<b>x<b>.mp4' 'Tom & Jerry.mp4' 'notes.txt' 'SHOUT.MP4'")
        const t = openOn(root + "/Clips", { fileMode: FileChooser.OpenFiles,
                                            nameFilters: ["Media files (*.mp4)", "All files (*)"] })
        compare(listed(t), ["<b>x<b>.mp4", "SHOUT.MP4", "Tom & Jerry.mp4"])
        const list = part(t, "chooserList")
        compare(findChild(list.itemAtIndex(0), "rowName").textFormat, Text.PlainText)
        mouseClick(list.itemAtIndex(2))
        compare(part(t, "nameField").text, "Tom & Jerry.mp4")
        mouseClick(part(t, "chooserAccept"))
        tryCompare(t.accepted, "count", 1)
        compare(t.chooser.selectedFiles.map(u => FileUrls.localPath(u)), [root + "/Clips/Tom & Jerry.mp4"])
    }

    function test_openSeveralWithControlClick() {
        sh("cd '" + root + "/Clips' && touch a.mp4 b.mp4 c.mp4")
        const t = openOn(root + "/Clips", { fileMode: FileChooser.OpenFiles })
        const list = part(t, "chooserList")
        listed(t)
        mouseClick(list.itemAtIndex(0))
        mouseClick(list.itemAtIndex(2), 10, 10, Qt.LeftButton, Qt.ControlModifier)
        mouseClick(part(t, "chooserAccept"))
        tryCompare(t.accepted, "count", 1)
        compare(t.chooser.selectedFiles.map(u => FileUrls.localPath(u)),
                [root + "/Clips/a.mp4", root + "/Clips/c.mp4"])
    }

    // A double click enters a folder; Return on a listed file opens it.
    function test_listByPointerAndKeys() {
        sh("touch '" + root + "/Clips/one.mkv'")
        const t = openOn(root)
        const list = part(t, "chooserList")
        listed(t)
        mouseDoubleClickSequence(list.itemAtIndex(0))
        tryCompare(t.chooser, "currentFolder", FileUrls.fromLocalPath(root + "/Clips"))
        compare(part(t, "pathField").text, root + "/Clips")
        tryVerify(() => listed(t).join() === "one.mkv", 5000)
        mouseClick(list.itemAtIndex(0))
        keyClick(Qt.Key_Return)
        tryCompare(t.accepted, "count", 1)
        compare(FileUrls.localPath(t.chooser.selectedFile), root + "/Clips/one.mkv")
    }

    // A folder dialog accepts the folder it shows, empty or not; a folder picked in the list wins.
    function test_folderModeAcceptsTheFolder_data() {
        return [
            { tag: "empty folder shown", start: "/Empty", pick: false, chosen: "/Empty" },
            { tag: "folder picked", start: "", pick: true, chosen: "/Clips" }
        ]
    }

    function test_folderModeAcceptsTheFolder(data) {
        const t = openOn(root + data.start, { fileMode: FileChooser.Folder })
        const accept = part(t, "chooserAccept")
        compare(accept.text, "Choose Folder")
        verify(accept.enabled)
        if (data.pick) {
            compare(listed(t)[0], "Clips/")
            mouseClick(part(t, "chooserList").itemAtIndex(0))
        } else {
            tryVerify(() => part(t, "emptyFolder").visible, 5000)
        }
        mouseClick(accept)
        tryCompare(t.accepted, "count", 1)
        compare(FileUrls.localPath(t.chooser.selectedFolder), root + data.chosen)
    }

    function test_escCancels() {
        const t = openOn(root, { fileMode: FileChooser.SaveFile })
        type(part(t, "nameField"), "never")
        keyClick(Qt.Key_Escape)
        tryCompare(t.rejected, "count", 1)
        compare(t.accepted.count, 0)
        tryCompare(t.chooser, "visible", false)
    }

    // An open dialog takes only what exists.
    function test_openRefusesAMissingFile() {
        const t = openOn(root)
        type(part(t, "nameField"), "ghost.mp4")
        keyClick(Qt.Key_Return)
        compare(part(t, "chooserError").text, "\"ghost.mp4\" does not exist.")
        compare(t.accepted.count, 0)
        verify(t.chooser.visible)
    }
}
