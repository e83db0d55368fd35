import QtQuick
import QtQuick.Controls.Basic
import QtCore
import QtTest
import Kestrune.MediaPlayer

// The library settings window against the real library: empty for the folder and scan cases, which scan
// real files, and seeded for the rest.
TestCase {
    id: testCase
    name: "LibrarySettingsWindow"
    when: windowShown
    width: 200
    height: 200

    readonly property string backupsDir: TestLibrary.databasePath.replace(/\/library\.db$/, "/library/backups")
    readonly property url documents: StandardPaths.writableLocation(StandardPaths.DocumentsLocation)
    readonly property string documentsPath: FileUrls.localPath(documents)

    Component {
        id: windowComponent
        LibrarySettingsWindow {}
    }

    function init() {
        failOnWarning(/^(qrc|file):|\bQML\b/)
        verify(TestLibrary.reopen("seeded"))
        sh("rm -rf '" + backupsDir + "' && mkdir -p '" + backupsDir + "'")
        backedUpNow()
    }

    // The library's start-up maintenance then makes no backup of its own into the list under test.
    function backedUpNow() {
        sh("sqlite3 -cmd '.timeout 10000' '" + TestLibrary.databasePath + "' \"INSERT OR REPLACE INTO library_meta(key, "
           + "value) VALUES('last_backup', strftime('%s', 'now'))\"")
    }

    function sh(commandLine) {
        compare(TestKit.run(commandLine), 0, commandLine)
    }

    function fileUrl(path) {
        return FileUrls.fileUrl("file:///", path.substring(1))
    }

    function makeWindow() {
        const window = createTemporaryObject(windowComponent, testCase)
        verify(window !== null)
        window.openWindow()
        tryCompare(window, "visible", true)
        TestKit.waitForFrame(window.contentItem)
        return window
    }

    function part(window, name) {
        const found = findChild(window.contentItem, name)
        verify(found !== null, "no " + name)
        return found
    }

    // The delegates a repeater shows, in order.
    function rows(window, repeaterName) {
        const repeater = part(window, repeaterName)
        const list = []
        for (let i = 0; i < repeater.count; ++i)
            list.push(repeater.itemAt(i))
        return list
    }

    function texts(window, repeaterName, labelName) {
        return rows(window, repeaterName).map(row => findChild(row, labelName).text)
    }

    function click(window, name) {
        const button = part(window, name)
        verify(button.visible && button.enabled, name)
        button.clicked()
    }

    // Opens a folder picker by its button and accepts folder in it. Qt Quick's own folder dialog keeps a
    // selection only while it is open.
    function choose(window, buttonName, dialogName, folder) {
        click(window, buttonName)
        const dialog = findChild(window, dialogName)
        tryCompare(dialog, "visible", true)
        dialog.currentFolder = fileUrl(folder.substring(0, folder.lastIndexOf("/")))
        dialog.selectedFolder = fileUrl(folder)
        compare(FileUrls.localPath(dialog.selectedFolder), folder)
        dialog.accept()
        tryCompare(dialog, "visible", false)
    }

    // A folder of small MP3 files.
    function makeFolder(name, count) {
        const folder = TestKit.scratchDir + "/" + name
        sh("rm -rf '" + folder + "' && mkdir -p '" + folder + "/Sub'")
        for (let i = 0; i < count; ++i)
            sh("cp '" + TestKit.fixture("six-seconds.mp3") + "' '" + folder + "/song" + i + ".mp3'")
        return folder
    }

    function today() {
        return Qt.formatDateTime(new Date(), "yyyy-MM-dd")
    }

    function test_foldersAndScans() {
        verify(TestLibrary.reopen("empty"))
        backedUpNow()
        const window = makeWindow()
        compare(rows(window, "folderRows").length, 0)
        verify(!part(window, "scanNowButton").enabled)
        verify(!part(window, "excludeButton").enabled)
        verify(part(window, "noExclusions").visible)
        verify(!part(window, "scanPauseButton").visible && !part(window, "scanStopButton").visible)
        compare(part(window, "scanLine").text, "")

        // Held before its first file, the scan is certain to be running while the window is looked at.
        const folder = makeFolder("Songs #1", 3)
        Library.pauseScan(true)
        choose(window, "addFolderButton", "addDlg", folder)
        compare(texts(window, "folderRows", "folderPath"), [folder])
        compare(texts(window, "folderRows", "folderStatus"), ["0 items  ·  last full scan never"])
        compare(findChild(rows(window, "folderRows")[0], "folderStatus").color, Qt.color("#6b7079"))
        const lines = []
        const scanLine = part(window, "scanLine")
        scanLine.textChanged.connect(() => lines.push(scanLine.text))
        tryCompare(Library, "scanning", true, 30000)
        tryCompare(scanLine, "text", "Scanning: 0 of 3 · ", 30000)
        verify(!part(window, "scanNowButton").enabled)
        verify(part(window, "scanStopButton").visible)
        const pause = part(window, "scanPauseButton")
        compare(pause.text, "Resume")
        // Both clicks before the event loop turns: the scan cannot end in between.
        click(window, "scanPauseButton")
        compare(pause.text, "Pause")
        click(window, "scanPauseButton")
        compare(pause.text, "Resume")
        verify(Library.scanPaused)
        click(window, "scanPauseButton")

        // The start-up check may run a second pass right after, with nothing to add.
        tryVerify(() => lines.indexOf("Last scan: 3 added, 0 updated, 0 missing") >= 0, 60000, lines.join("\n"))
        tryCompare(Library, "scanning", false, 60000)
        verify(!pause.visible && !part(window, "scanStopButton").visible)
        verify(part(window, "scanNowButton").enabled)
        tryVerify(() => texts(window, "folderRows", "folderStatus")[0].startsWith("3 items  ·  last full scan "
                                                                                   + today()), 30000)

        // Stop ends a running scan.
        Library.pauseScan(true)
        click(window, "scanNowButton")
        tryCompare(Library, "scanning", true, 30000)
        verify(part(window, "scanStopButton").visible)
        click(window, "scanStopButton")
        tryCompare(Library, "scanning", false, 30000)
        Library.pauseScan(false)

        // Exclusions come and go.
        choose(window, "excludeButton", "exclDlg", folder + "/Sub")
        compare(texts(window, "excludedRows", "excludedPath"), [folder + "/Sub"])
        verify(!part(window, "noExclusions").visible)
        findChild(rows(window, "excludedRows")[0], "includeButton").clicked()
        compare(rows(window, "excludedRows").length, 0)
        verify(part(window, "noExclusions").visible)

        findChild(rows(window, "folderRows")[0], "removeFolderButton").clicked()
        compare(rows(window, "folderRows").length, 0)
        verify(!part(window, "scanNowButton").enabled)
    }

    // A folder row follows its folder without anyone asking: its first scan, its loss and its return.
    function test_folderRowFollowsItsFolder() {
        verify(TestLibrary.reopen("empty"))
        backedUpNow()
        const folder = makeFolder("Comes and goes", 2)
        sh("touch -d '1 hour ago' '" + folder + "'/*.mp3")
        const window = makeWindow()
        verify(Library.addFolder(folder))
        const status = () => texts(window, "folderRows", "folderStatus")[0]
        tryVerify(() => status().startsWith("2 items  ·  last full scan " + today()), 60000, status())
        tryCompare(Library, "scanning", false, 60000)

        sh("rm -rf '" + folder + "'")
        tryVerify(() => status().startsWith("Not reachable"), 60000, status())
        compare(findChild(rows(window, "folderRows")[0], "folderStatus").color, Qt.color("#f0b35b"))
        tryCompare(Library, "scanning", false, 60000)

        // Back in one rename, as a drive or a restored copy comes back whole.
        const staging = makeFolder("Staging", 2)
        sh("touch -d '1 hour ago' '" + staging + "'/*.mp3 && mv '" + staging + "' '" + folder + "'")
        tryVerify(() => status().startsWith("2 items  ·  last full scan "), 60000, status())
        compare(findChild(rows(window, "folderRows")[0], "folderStatus").color, Qt.color("#6b7079"))
    }

    // The seeded folders do not exist here: their items stay, and the rows say so.
    function test_unreachableFolders() {
        const window = makeWindow()
        const statuses = texts(window, "folderRows", "folderStatus")
        compare(statuses.length, 2)
        for (const status of statuses)
            verify(status.startsWith("Not reachable — items kept, marked missing only after it is back  ·  last full "
                                     + "scan "), status)
        compare(findChild(rows(window, "folderRows")[0], "folderStatus").color, Qt.color("#f0b35b"))
    }

    // Typed and stepped values never leave 1–720 hours and 1–90 days.
    function test_spinBoxesStayInRange_data() {
        return [
            { tag: "hours, zero", spin: "rescanSpin", property: "rescanHours", keys: "0", value: 1 },
            { tag: "hours, too many", spin: "rescanSpin", property: "rescanHours", keys: "99999", value: 720 },
            { tag: "hours, in range", spin: "rescanSpin", property: "rescanHours", keys: "36", value: 36 },
            { tag: "days, zero", spin: "retentionSpin", property: "backupRetentionDays", keys: "0", value: 1 },
            { tag: "days, too many", spin: "retentionSpin", property: "backupRetentionDays", keys: "999", value: 90 },
            { tag: "days, in range", spin: "retentionSpin", property: "backupRetentionDays", keys: "14", value: 14 },
        ]
    }

    function test_spinBoxesStayInRange(data) {
        const window = makeWindow()
        const spin = part(window, data.spin)
        compare(spin.value, Library[data.property])
        const values = []
        const watch = () => values.push(Library[data.property])
        Library.settingsChanged.connect(watch)
        spin.contentItem.forceActiveFocus()
        spin.contentItem.selectAll()
        verify(TestKit.keyClick(spin, Qt.Key_Delete))
        verify(TestKit.keyClicks(spin, data.keys))
        verify(TestKit.keyClick(spin, Qt.Key_Return))
        tryCompare(spin, "value", data.value)
        compare(Library[data.property], data.value)
        // Stepping past either end stays at the end.
        for (const key of [Qt.Key_Up, Qt.Key_Up, Qt.Key_Down, Qt.Key_Down, Qt.Key_Down])
            verify(TestKit.keyClick(spin, key))
        Library.settingsChanged.disconnect(watch)
        for (const value of values)
            verify(value >= spin.from && value <= spin.to, String(values))
        // A change from elsewhere shows.
        Library[data.property] = 5
        compare(spin.value, 5)
    }

    function test_backupSizes() {
        sh("head -c 1536 /dev/zero > '" + backupsDir + "/library-20250102-0900.db.gz'")
        sh("touch -d '2025-01-02 09:00' '" + backupsDir + "/library-20250102-0900.db.gz'")
        sh("head -c 511 /dev/zero > '" + backupsDir + "/library-20250101-0800.db.gz'")
        sh("touch -d '2025-01-01 08:00' '" + backupsDir + "/library-20250101-0800.db.gz'")
        sh("head -c 4096 /dev/zero > '" + backupsDir + "/notes.txt'")
        const window = makeWindow()
        compare(texts(window, "backupRows", "backupLabel"), ["2025-01-02 09:00   2 KB", "2025-01-01 08:00   0 KB"])
    }

    function test_backUpAndRestore() {
        const window = makeWindow()
        compare(rows(window, "backupRows").length, 0)
        click(window, "backUpButton")
        compare(part(window, "settingsMessage").text, "Backup saved.")
        compare(rows(window, "backupRows").length, 1)

        // A truncated copy from a day ago: listed after the good one and kept by the next backup's pruning.
        const good = Library.backups()[0].file
        const bad = backupsDir + "/library-20240101-0000.db.gz"
        sh("head -c $(( $(stat -c %s '" + good + "') / 2 )) '" + good + "' > '" + bad + "'")
        sh("touch -d '1 day ago' '" + bad + "'")
        click(window, "backUpButton")
        // Two backups in one minute share a name: the new one replaced the first unless the minute turned.
        compare(rows(window, "backupRows").length, Library.backups().length)
        verify(rows(window, "backupRows").length >= 2)

        const restoreDlg = findChild(window, "restoreDlg")
        const restore = file => {
            const at = window.backupList.findIndex(backup => backup.file === file)
            verify(at >= 0, file)
            findChild(rows(window, "backupRows")[at], "restoreButton").clicked()
            tryCompare(restoreDlg, "opened", true)
            compare(restoreDlg.file, file)
            compare(findChild(restoreDlg.contentItem, "restoreText").text,
                    "Replace the library with the backup from " + window.backupList[at].date + "? Changes since then "
                    + "(ratings, plays, edits, playlists) are lost. The restore happens the next time the player "
                    + "starts.")
            mouseClick(restoreDlg.standardButton(Dialog.Ok))
            tryCompare(restoreDlg, "opened", false)
        }
        restore(bad)
        compare(part(window, "settingsMessage").text, "The backup could not be read.")
        compare(TestKit.run("test -e '" + TestLibrary.databasePath + ".restore'"), 1)

        restore(good)
        compare(part(window, "settingsMessage").text, "Restart the player to finish restoring.")
        sh("test -s '" + TestLibrary.databasePath + ".restore'")

        // Cancel leaves everything as it was.
        findChild(rows(window, "backupRows")[1], "restoreButton").clicked()
        tryCompare(restoreDlg, "opened", true)
        mouseClick(restoreDlg.standardButton(Dialog.Cancel))
        tryCompare(restoreDlg, "opened", false)
        compare(part(window, "settingsMessage").text, "Restart the player to finish restoring.")
    }

    // Files a scan could not read, and those set aside after reading them stopped the player twice, are
    // counted on the scan line; which and why is in the log.
    function test_scanLineCountsFilesLeftOut_data() {
        return [
            { tag: "one", broken: 1, aside: false, text: "1 file could not be read; see the log" },
            { tag: "three", broken: 3, aside: false, text: "3 files could not be read; see the log" },
            { tag: "set aside", broken: 1, aside: true, text: "2 files could not be read; see the log" },
        ]
    }

    function test_scanLineCountsFilesLeftOut(data) {
        verify(TestLibrary.reopen("empty"))
        backedUpNow()
        const folder = makeFolder("Left out " + data.tag, 2)
        for (let i = 0; i < data.broken; ++i)
            sh("echo 'not a song' > '" + folder + "/Sub/broken" + i + ".mp3'")
        const aside = folder + "/Sub/aside.mp3"
        if (data.aside)
            sh("cp '" + TestKit.fixture("six-seconds.mp3") + "' '" + aside + "'")
        sh("touch -d '1 hour ago' '" + folder + "'/*.mp3 '" + folder + "'/Sub/*.mp3")
        // As a run before this one leaves it: set aside while its size and time stay as they are.
        if (data.aside) {
            sh("sqlite3 -cmd '.timeout 10000' '" + TestLibrary.databasePath + "' \"INSERT INTO library_meta(key, value) "
               + "VALUES('skip:" + aside + "', '$(stat -c %s:%Y '" + aside + "')')\"")
        }
        const window = makeWindow()
        const scanLine = part(window, "scanLine")
        const lines = []
        scanLine.textChanged.connect(() => lines.push(scanLine.text))
        verify(Library.addFolder(folder))
        const expected = "Last scan: 2 added, 0 updated, 0 missing · " + data.text
        tryVerify(() => lines.indexOf(expected) >= 0, 60000, lines.join("\n"))
    }

    // A library file cut short says so, and the backup in the window's list brings its items back at the
    // next start.
    function test_restoreADamagedLibrary() {
        const seeded = Library.counts
        verify(seeded.tracks > 0 && seeded.videos > 0)
        click(makeWindow(), "backUpButton")

        verify(TestLibrary.reopen("damaged"))
        compare(Library.lastError, "The library file is damaged; it is left untouched. Restore a backup in Library "
                + "Folders & Settings.")
        compare(Library.counts.tracks, 0)
        const window = makeWindow()
        compare(rows(window, "backupRows").length, 1)
        findChild(rows(window, "backupRows")[0], "restoreButton").clicked()
        const restoreDlg = findChild(window, "restoreDlg")
        tryCompare(restoreDlg, "opened", true)
        mouseClick(restoreDlg.standardButton(Dialog.Ok))
        tryCompare(restoreDlg, "opened", false)
        compare(part(window, "settingsMessage").text, "Restart the player to finish restoring.")

        verify(TestLibrary.reopen("restart"))
        compare(Library.lastError, "")
        compare(Library.counts.tracks, seeded.tracks)
        compare(Library.counts.videos, seeded.videos)
    }

    function test_exports_data() {
        return [
            { tag: "CSV", button: "exportCsvButton", dialog: "csvDlg", name: "library.csv", head: "path,kind,title," },
            { tag: "JSON", button: "exportJsonButton", dialog: "jsonDlg", name: "library.json", head: "{" },
        ]
    }

    function test_exports(data) {
        sh("mkdir -p '" + documentsPath + "' && rm -f '" + documentsPath + "/" + data.name + "'")
        const window = makeWindow()
        click(window, data.button)
        const dialog = findChild(window.contentItem, data.dialog)
        verify(dialog !== null)
        const fileDialog = findChild(dialog, "fileDialog")
        tryCompare(fileDialog, "visible", true)
        compare(FileUrls.localPath(dialog.selectedFile), documentsPath + "/" + data.name)
        fileDialog.close()
        tryCompare(fileDialog, "visible", false)

        dialog.accepted()
        compare(part(window, "settingsMessage").text, "Exported.")
        sh("head -c " + data.head.length + " '" + documentsPath + "/" + data.name + "' | grep -qxF '" + data.head + "'")

        // A folder that is not there cannot take the file.
        dialog.selectedFile = fileUrl(documentsPath + "/missing/" + data.name)
        dialog.accepted()
        compare(part(window, "settingsMessage").text, "Could not write the file.")
    }

    function test_screenshot() {
        sh("head -c 20480 /dev/zero > '" + backupsDir + "/library-20250102-0900.db.gz'")
        const window = makeWindow()
        TestKit.waitForFrame(window.contentItem)
        verify(TestKit.screenshot(window, "LibrarySettingsWindow") !== "")
    }
}
