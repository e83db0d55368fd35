import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Window
import QtTest
import Kestrune.MediaPlayer

// The main window's file dialogs, the quit prompt and the About box, with the real player behind them and a
// double for the conversion queue. Qt Quick's own dialogs are driven as a user's pick leaves them: the chosen
// file set, then accepted.
TestCase {
    id: testCase
    name: "MainPrompts"
    when: windowShown

    property Component mainComponent: Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
    readonly property int boundState: Player.state
    readonly property bool boundHasMedia: Player.hasMedia
    readonly property bool boundOpening: Player.isOpening
    readonly property int boundCount: Player.playlistCount

    SignalSpy {
        id: triggered
        target: Actions
        signalName: "triggered"
    }

    function init() {
        // A warning from QML (a broken binding, a missing file) is a fault of the window.
        failOnWarning(/^(qrc|file):|\bQML\b/)
        triggered.clear()
        TestKit.clearOpenedUrls()
    }

    function cleanup() {
        Player.clearPlaylist()
        tryVerify(() => !boundHasMedia && !boundOpening && boundCount === 0, 15000, "the player stops")
        Converter.running = 0
        Converter.pending = 0
    }

    function createMain() {
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        const window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        window.libraryVisible = false
        tryVerify(() => window.visible && window.active !== undefined)
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    // Items by the visual tree, dialogs and pop-ups (and what they hold) by the object tree.
    function part(window, name) {
        const object = findChild(window.contentItem, name) || findChild(window, name)
                       || findChild(window.contentItem.parent, name)
        verify(object !== null, name)
        // A window made on first use is reached through its stand-in, which makes it.
        return object.sourceComponent !== undefined && object.get ? object.get() : object
    }

    function fileUrl(path) {
        return FileUrls.fileUrl("file:///", path.substring(1))
    }

    // A fresh folder below the scratch directory.
    function folder(name) {
        const path = TestKit.scratchDir + "/" + name
        compare(TestKit.run("rm -rf '" + path + "' && mkdir -p '" + path + "'"), 0)
        return path
    }

    function addCalls() {
        const calls = []
        for (let i = 0; i < triggered.count; ++i) {
            if (triggered.signalArguments[i][0] === "playlist.add")
                calls.push(String(triggered.signalArguments[i][1]))
        }
        return calls
    }

    function osdText(window) {
        return part(window, "osdText").text
    }

    function test_openDialogAddsItsFile() {
        const window = createMain()
        const dialog = part(window, "openDialog")
        const url = fileUrl(TestKit.fixture("tone6.mkv"))
        dialog.selectedFile = url
        dialog.open()
        dialog.accept()
        compare(addCalls(), [String(url)])
        tryCompare(testCase, "boundCount", 1, 10000)
    }

    function test_folderDialogAddsTheFolder() {
        const window = createMain()
        const path = folder("two clips #1")
        compare(TestKit.run("cp '" + TestKit.fixture("tone6.mkv") + "' '" + TestKit.fixture("clip.mp4") + "' '"
                            + path + "/'"), 0)
        const dialog = part(window, "folderDialog")
        dialog.currentFolder = fileUrl(TestKit.scratchDir)
        dialog.open()
        dialog.selectedFolder = fileUrl(path)
        dialog.accept()
        compare(addCalls(), [String(fileUrl(path))])
        tryCompare(testCase, "boundCount", 2, 10000)
    }

    function test_subtitleDialogLoadsIntoThePlayingVideo() {
        const window = createMain()
        Actions.trigger("playlist.add", TestKit.fixture("multi.mkv"))
        tryCompare(testCase, "boundState", MediaSessionBridge.Playing, 20000)
        // Paused, so the short clip does not end under the test.
        tryVerify(() => {
            if (Player.state === MediaSessionBridge.Playing)
                Player.pause()
            return boundState === MediaSessionBridge.Paused
        }, 10000, "paused")
        const dialog = part(window, "subtitleDialog")
        dialog.selectedFile = fileUrl(TestKit.fixture("crowd-subs.srt"))
        window.openSubtitleDialog()
        tryCompare(dialog, "visible", true)
        dialog.accept()
        tryCompare(part(window, "osdText"), "text", "Subtitles: crowd-subs.srt", 10000)
    }

    function test_cancelledDialogDoesNothing_data() {
        return [{ tag: "openDialog" }, { tag: "folderDialog" }, { tag: "subtitleDialog" }]
    }

    function test_cancelledDialogDoesNothing(data) {
        const window = createMain()
        const dialog = part(window, data.tag)
        const osd = part(window, "osd")
        if (data.tag === "folderDialog")
            dialog.selectedFolder = fileUrl(TestKit.scratchDir)
        else
            dialog.selectedFile = fileUrl(TestKit.fixture("crowd-subs.srt"))
        dialog.open()
        dialog.reject()
        wait(200)
        compare(triggered.count, 0)
        compare(Player.playlistCount, 0)
        verify(!osd.visible)
    }

    // Cameras write capitals: "CLIP.MP4" lists beside "b.mp4" under the media filter.
    function test_openDialogListsBothCases() {
        const window = createMain()
        const path = folder("camera")
        compare(TestKit.run("cd '" + path + "' && touch A.MP4 b.mp4 notes.txt"), 0)
        const dialog = part(window, "openDialog")
        dialog.currentFolder = fileUrl(path)
        dialog.open()
        // Every file dialog of the window has a list of its own: this one's.
        const list = findChild(dialog.dialog.contentItem, "chooserList")
        tryCompare(list, "count", 2, 10000)
        // The list view makes its delegates after its count changes; wait for them too.
        tryVerify(() => findChild(list, "chooserRow0") && findChild(list, "chooserRow1"), 5000)
        const names = []
        for (let i = 0; i < list.count; ++i)
            names.push(findChild(list, "chooserRow" + i).fileName)
        compare(names.sort(), ["A.MP4", "b.mp4"])
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "MainOpenDialog")
        dialog.reject()
    }

    // The save dialog by hand: a name typed into its field, then its Save button or Return.
    function test_savePlaylist_data() {
        return [{ tag: "Save button", key: false }, { tag: "Return", key: true }]
    }

    function test_savePlaylist(data) {
        const window = createMain()
        Actions.trigger("playlist.add", TestKit.fixture("tone6.mkv"))
        tryCompare(testCase, "boundCount", 1, 10000)
        const path = folder("playlists " + (data.key ? "r" : "b"))
        const dialog = part(window, "savePlaylistDialog")
        const fileDialog = findChild(dialog, "fileDialog")
        verify(fileDialog !== null)
        fileDialog.currentFolder = fileUrl(path)
        verify(TestKit.keyClick(window, Qt.Key_S, Qt.ControlModifier))
        tryCompare(fileDialog.dialog, "opened", true, 10000)
        const field = findChild(fileDialog.dialog.contentItem, "nameField")
        tryVerify(() => field.activeFocus, 5000, "the name field has the focus")
        field.selectAll()
        verify(TestKit.keyClick(window, Qt.Key_Delete))
        // A bare name gets the default suffix.
        verify(TestKit.keyClicks(window, "list"))
        compare(field.text, "list")
        if (data.key)
            verify(TestKit.keyClick(window, Qt.Key_Return))
        else
            mouseClick(findChild(fileDialog.dialog.footer, "chooserAccept"))
        tryCompare(part(window, "osdText"), "text", "Playlist saved", 10000)
        compare(TestKit.run("head -n 1 '" + path + "/list.m3u8' | grep -qx '#EXTM3U'"), 0)
        compare(TestKit.run("grep -q tone6.mkv '" + path + "/list.m3u8'"), 0)
        verify(!fileDialog.visible)
    }

    function test_saveOverAnExistingFileAsks_data() {
        return [{ tag: "Cancel", replace: false }, { tag: "Replace", replace: true }]
    }

    function test_saveOverAnExistingFileAsks(data) {
        const window = createMain()
        Actions.trigger("playlist.add", TestKit.fixture("tone6.mkv"))
        tryCompare(testCase, "boundCount", 1, 10000)
        const path = folder("taken")
        const file = path + "/Road Trip.m3u8"
        compare(TestKit.run("printf 'old bytes\\n' > '" + file + "'"), 0)
        const dialog = part(window, "savePlaylistDialog")
        const fileDialog = findChild(dialog, "fileDialog")
        dialog.selectedFile = fileUrl(file)
        dialog.open()
        fileDialog.accept()
        // The save dialog's own prompt: the sidebar's playlist export has one too.
        const ask = findChild(dialog, "replacePrompt")
        verify(ask !== null)
        tryCompare(ask, "opened", true)
        compare(findChild(ask.contentItem, "replaceQuestion").text, "\"Road Trip.m3u8\" already exists. Replace it?")
        compare(ask.standardButton(Dialog.Ok).text, "Replace")
        if (!data.replace) {
            TestKit.waitForFrame(window.contentItem)
            TestKit.screenshot(window, "MainReplaceQuestion")
        }
        mouseClick(ask.standardButton(data.replace ? Dialog.Ok : Dialog.Cancel))
        tryCompare(ask, "visible", false)
        if (data.replace) {
            tryCompare(part(window, "osdText"), "text", "Playlist saved", 10000)
            compare(TestKit.run("head -n 1 '" + file + "' | grep -qx '#EXTM3U'"), 0)
        } else {
            wait(200)
            compare(TestKit.run("printf 'old bytes\\n' | cmp -s - '" + file + "'"), 0)
        }
    }

    function test_aboutBox() {
        const window = createMain()
        const about = part(window, "aboutDialog")
        about.open()
        tryCompare(about, "opened", true)
        compare(about.title, "About")
        compare(part(window, "aboutVersion").text, "Version 1.0.2")
        compare(part(window, "aboutDescription").text,
                "Free. No account, no sign-in, no license key. Nothing is sent over the internet unless you check "
                + "for updates, which sends only the version you have. To find TVs and speakers the player asks on "
                + "your local network; turn that off in the cast settings. Built on Qt 6, FFmpeg and libass.")
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "MainAbout")

        // The files beside the program, by the desktop's handler.
        mouseClick(part(window, "aboutLicenseButton"))
        mouseClick(part(window, "aboutNoticesButton"))
        compare(TestKit.openedUrls, [AppDirUrl + "/LICENSE.txt", AppDirUrl + "/THIRD-PARTY-NOTICES.txt"])
        verify(about.opened)

        const updates = part(window, "updateDialog")
        mouseClick(part(window, "aboutUpdatesButton"))
        tryCompare(about, "visible", false)
        tryCompare(updates, "opened", true)
        updates.close()
        tryCompare(updates, "visible", false)
    }

    // The window's close asks while a conversion runs; the prompt counts what runs and what waits.
    function test_quitPromptShows() {
        const window = createMain()
        Converter.running = 1
        Converter.pending = 2
        window.close()
        const prompt = part(window, "quitPrompt")
        tryCompare(prompt, "opened", true)
        verify(window.visible)
        compare(part(window, "quitPromptText").text, "1 conversion(s) running, 2 waiting.")
        TestKit.waitForFrame(window.contentItem)
        TestKit.screenshot(window, "MainQuitPrompt")
        mouseClick(part(window, "dontQuitButton"))
        tryCompare(prompt, "visible", false)
        verify(window.visible)
    }
}
