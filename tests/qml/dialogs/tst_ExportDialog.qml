import QtQuick
import QtQuick.Controls.Basic
import QtCore
import QtTest
import Kestrune.MediaPlayer

TestCase {
    id: testCase
    name: "ExportDialog"
    when: windowShown
    width: viewWidth
    height: 640

    readonly property int viewWidth: 900
    readonly property url documents: StandardPaths.writableLocation(StandardPaths.DocumentsLocation)
    readonly property string documentsPath: FileUrls.localPath(documents)

    Component {
        id: exportComponent
        ExportDialog {
            title: "Export Library (CSV)"
            nameFilters: ["CSV (*.csv)"]
            defaultSuffix: "csv"
        }
    }

    Component {
        id: signalSpy
        SignalSpy {
            signalName: "accepted"
        }
    }

    // Documents as StandardPaths gives it, created in this run's scratch home.
    function initTestCase() {
        compare(TestKit.run("mkdir -p '" + documentsPath + "'"), 0)
    }

    // A test that narrows the window gives it its width back, also when it fails.
    function cleanup() {
        testCase.Window.window.width = viewWidth
        compare(TestKit.run("mkdir -p '" + documentsPath + "'"), 0)
    }

    function makeDialog() {
        const dialog = createTemporaryObject(exportComponent, testCase)
        const spy = createTemporaryObject(signalSpy, testCase, { target: dialog })
        return { dialog: dialog, spy: spy }
    }

    function window() {
        return testCase.Window.window.contentItem
    }

    // The name field of the save dialog, once it is open.
    function nameField() {
        const field = findChild(window(), "nameField")
        verify(field !== null)
        tryVerify(() => field.visible && field.activeFocus, 10000, "the name field has the focus")
        return field
    }

    // Accepts the save dialog by its Save button, after typing name into its name field when one is given.
    function saveAs(name) {
        const field = nameField()
        if (name !== undefined) {
            field.selectAll()
            keyClick(Qt.Key_Delete)
            for (const character of name)
                keyClick(character)
            compare(field.text, name)
        }
        const button = findChild(window(), "chooserAccept")
        verify(button !== null && button.visible)
        compare(button.text, "Save")
        mouseClick(button)
    }

    function prompt(dialog) {
        return findChild(window(), "replacePrompt")
    }

    function touch(name) {
        compare(TestKit.run("touch '" + documentsPath + "/" + name + "'"), 0)
    }

    // The helper under suggest and the typed-name repair: local paths only, whatever the URL's form.
    function test_fileUrlsLocalPath_data() {
        return [
            { tag: "file URL", url: "file:///tmp/a%20b%23.csv", path: "/tmp/a b#.csv" },
            { tag: "scheme-less, cut at # and ?", url: "/tmp/Hits #1 50%?.csv", path: "/tmp/Hits #1 50%?.csv" },
            { tag: "scheme-less relative", url: "notes.csv", path: "" },
            { tag: "web address", url: "http://127.0.0.1/a.csv", path: "" },
            { tag: "empty", url: "", path: "" },
        ]
    }

    function test_fileUrlsLocalPath(data) {
        compare(FileUrls.localPath(data.url), data.path)
        compare(FileUrls.exists(data.url), false)
    }

    function test_suggest_data() {
        return [
            { tag: "playlist name", name: "Road Trip.m3u8" },
            { tag: "fragment, query and percent", name: "Hits #1 100%?.csv" },
            { tag: "escape-like", name: "%41%2F.csv" },
            { tag: "slash stays a slash", name: "AC/DC.m3u8" },
        ]
    }

    function test_suggest(data) {
        const t = makeDialog()
        compare(t.dialog.currentFolder, documents)
        t.dialog.suggest(data.name)
        compare(FileUrls.localPath(t.dialog.selectedFile), documentsPath + "/" + data.name)
    }

    function test_suggestedNameIsSavedAsGiven() {
        const t = makeDialog()
        t.dialog.suggest("Hits #1 100%?.csv")
        t.dialog.open()
        compare(nameField().text, "Hits #1 100%?.csv")
        saveAs()
        tryCompare(t.spy, "count", 1)
        const path = FileUrls.localPath(t.dialog.selectedFile)
        compare(path, documentsPath + "/Hits #1 100%?.csv")
        compare(TestKit.run("echo a,b > '" + path + "' && test -f '" + documentsPath + "/Hits #1 100%?.csv'"), 0)
        verify(FileUrls.exists(t.dialog.selectedFile))
    }

    // Qt Quick's own dialog adds the default suffix to a typed name, and hands the name back as a URL without
    // a scheme, parsed from its text; the chosen file is still a file URL of exactly that name.
    function test_typedName_data() {
        return [
            { tag: "bare name gets the suffix", typed: "library", name: "library.csv" },
            { tag: "fragment, query and percent", typed: "Hits #2 50%?.csv", name: "Hits #2 50%?.csv" },
            { tag: "fragment without suffix", typed: "Mix #3", name: "Mix #3.csv" },
            { tag: "query and percent", typed: "a?b=100%", name: "a?b=100%.csv" },
            { tag: "other suffix kept", typed: "list.txt", name: "list.txt" },
        ]
    }

    function test_typedName(data) {
        const t = makeDialog()
        t.dialog.suggest("library.csv")
        t.dialog.open()
        saveAs(data.typed)
        tryCompare(t.spy, "count", 1)
        verify(t.dialog.selectedFile.toString().startsWith("file:///"), t.dialog.selectedFile)
        compare(FileUrls.localPath(t.dialog.selectedFile), documentsPath + "/" + data.name)
    }

    // Without a Documents folder the dialog starts in the home folder, lists it and saves there; never in the
    // working folder.
    function test_withoutDocumentsStartsAtHome() {
        const home = FileUrls.localPath(FileUrls.homeFolder())
        compare(TestKit.run("rm -rf '" + documentsPath + "' && touch '" + home + "/at-home.csv'"), 0)
        const t = makeDialog()
        compare(t.dialog.currentFolder, FileUrls.homeFolder())
        t.dialog.suggest("library.csv")
        t.dialog.open()
        nameField()
        compare(findChild(window(), "pathField").text, home)
        const list = findChild(window(), "chooserList")
        tryVerify(() => {
            for (let i = 0; i < list.count; ++i) {
                const row = list.itemAtIndex(i)
                if (row && findChild(row, "rowName").text === "at-home.csv")
                    return true
            }
            return false
        }, 5000, "the home folder listed")
        saveAs()
        tryCompare(t.spy, "count", 1)
        compare(FileUrls.localPath(t.dialog.selectedFile), home + "/library.csv")
    }

    function test_newFileDoesNotAsk() {
        const t = makeDialog()
        t.dialog.suggest("fresh.csv")
        t.dialog.open()
        saveAs()
        tryCompare(t.spy, "count", 1)
        verify(!prompt().visible)
    }

    function test_existingFileAsks_data() {
        return [
            { tag: "Cancel", key: "cancel", accepted: 0 },
            { tag: "Esc", key: "esc", accepted: 0 },
            { tag: "Replace", key: "replace", accepted: 1 },
        ]
    }

    function test_existingFileAsks(data) {
        touch("taken.csv")
        const t = makeDialog()
        t.dialog.suggest("taken.csv")
        t.dialog.open()
        saveAs()
        const ask = prompt()
        tryCompare(ask, "opened", true)
        compare(t.spy.count, 0)
        compare(findChild(ask.contentItem, "replaceQuestion").text, "\"taken.csv\" already exists. Replace it?")
        compare(ask.standardButton(Dialog.Ok).text, "Replace")
        compare(ask.standardButton(Dialog.Cancel).text, "Cancel")
        if (data.key === "replace")
            mouseClick(ask.standardButton(Dialog.Ok))
        else if (data.key === "cancel")
            mouseClick(ask.standardButton(Dialog.Cancel))
        else
            keyClick(Qt.Key_Escape)
        tryCompare(ask, "visible", false)
        compare(t.spy.count, data.accepted)
    }

    // The question wraps inside a prompt that follows a narrow window, shut or open, without a binding loop
    // between the prompt's height and the wrapped lines.
    function test_promptFollowsANarrowWindow() {
        failOnWarning(/Binding loop/)
        const name = "A rather long playlist name that wraps.m3u8"
        touch(name)
        const t = makeDialog()
        const ask = prompt()
        const question = findChild(ask.contentItem, "replaceQuestion")
        const view = testCase.Window.window
        const wide = viewWidth
        const widths = [200, 150, wide, 180, wide]
        for (const width of widths) {
            view.width = width
            tryCompare(ask, "width", Math.min(460, width - 40))
            TestKit.waitForFrame(window())
        }
        t.dialog.suggest(name)
        t.dialog.open()
        saveAs()
        tryCompare(ask, "opened", true)
        for (const width of widths) {
            view.width = width
            tryCompare(ask, "width", Math.min(460, width - 40))
            TestKit.waitForFrame(window())
            verify(question.width <= ask.availableWidth, question.width + " > " + ask.availableWidth)
            verify(ask.availableHeight >= question.height, ask.availableHeight + " < " + question.height)
            // The title stays whole in height, and elided where the prompt is too narrow for it.
            const title = findChild(ask.header, "dialogTitle")
            verify(ask.header.height >= title.contentHeight + title.topPadding + title.bottomPadding)
            compare(title.truncated, width < 300)
            if (width < 300)
                verify(question.lineCount > 1)
        }
        keyClick(Qt.Key_Escape)
        tryCompare(ask, "visible", false)
    }

    function test_screenshot() {
        touch("Road Trip.m3u8")
        const t = makeDialog()
        t.dialog.suggest("Road Trip.m3u8")
        t.dialog.open()
        saveAs()
        tryCompare(prompt(), "opened", true)
        TestKit.waitForFrame(window())
        TestKit.screenshot(window(), "ExportDialog")
        keyClick(Qt.Key_Escape)
    }
}
