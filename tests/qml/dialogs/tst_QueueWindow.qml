import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer
import "qrc:/qt/qml/Kestrune/MediaPlayer/QueueFmt.js" as QueueFmt

// The conversion queue window against the program's real queue: small fixtures converted into the scratch
// folder, garbage.mp4 failing, and held jobs whose input is a named pipe that a background writer fills bit by
// bit, so they run (and report progress) until the test releases or cancels them.
TestCase {
    id: testCase
    name: "QueueWindow"
    when: windowShown
    width: 200
    height: 100

    QueueWindow {
        id: win
    }

    SignalSpy {
        id: jobsSpy
        target: Converter
        signalName: "jobsChanged"
    }

    SignalSpy {
        id: adjustSpy
        target: win
        signalName: "adjust"
    }

    property int heldCount: 0
    readonly property string out: TestKit.scratchDir + "/queue-out"

    function initTestCase() {
        Converter.paused = true
        Converter.concurrency = 1
        compare(TestKit.run("mkdir -p '" + out + "'"), 0)
        // The writer of a held input: a first burst, then 1 KB every 0.2 s up to 100 KB of the 140 KB film,
        // then nothing until "<pipe>.release" exists, when it writes the rest and closes.
        compare(TestKit.run("cat > '" + TestKit.scratchDir + "/feed.sh' <<'EOF'\n"
                            + "exec > \"$1\"\n"
                            + "i=0\n"
                            + "while [ ! -e \"$1.release\" ]; do\n"
                            + "  if [ $i -lt 100 ]; then dd if=\"$2\" bs=1024 skip=$i count=1 2>/dev/null || exit 0; i=$((i+1)); fi\n"
                            + "  if [ $i -gt 16 ]; then sleep 0.2; fi\n"
                            + "done\n"
                            + "exec dd if=\"$2\" bs=1024 skip=$i 2>/dev/null\n"
                            + "EOF"), 0)
        win.openWindow()
        tryCompare(win, "visible", true)
    }

    // Nothing left running or listed; the queue paused again.
    function cleanup() {
        Converter.paused = true
        Converter.concurrency = 1
        for (const id of Converter.jobs.map(j => j.id))
            Converter.cancel(id)
        // A held job waits in its read: the rest of its input lets it see the cancel.
        TestKit.run("for f in '" + TestKit.scratchDir + "'/held/*.mkv; do [ -p \"$f\" ] && touch \"$f.release\"; done; true")
        tryVerify(() => Converter.running === 0, 20000, "running jobs end after a cancel")
        for (const id of Converter.jobs.map(j => j.id))
            Converter.remove(id)
        compare(JSON.stringify(Converter.jobs.map(j => j.state)), "[]")
        TestKit.clearOpenedUrls()
        adjustSpy.clear()
    }

    // A named pipe in the scratch folder fed by the writer above: a job reading it runs until released.
    function heldInput() {
        const dir = TestKit.scratchDir + "/held"
        const path = dir + "/held" + (++heldCount) + ".mkv"
        compare(TestKit.run("mkdir -p '" + dir + "' && mkfifo '" + path + "' && (timeout 120 sh '"
                            + TestKit.scratchDir + "/feed.sh' '" + path + "' '" + TestKit.fixture("stream-30s.mkv")
                            + "' >/dev/null 2>&1 &)"), 0)
        return path
    }

    function release(path) {
        compare(TestKit.run("touch '" + path + ".release'"), 0)
    }

    // Adds the inputs and returns their new jobs' ids, in order.
    function add(inputs) {
        const before = Converter.jobs.length
        compare(Converter.addJobs(inputs, { container: "mp4", videoCodec: "h264", audioCodec: "aac",
                                            destination: out, collision: "rename" }), inputs.length)
        return Converter.jobs.slice(before).map(j => j.id)
    }

    function jobOf(id) {
        for (const job of Converter.jobs) {
            if (job.id === id)
                return job
        }
        return null
    }

    function waitState(id, state) {
        tryVerify(() => jobOf(id) !== null && jobOf(id).state === state, 30000, "job " + id + " " + state)
    }

    function list() {
        return findChild(win.contentItem, "jobList")
    }

    function rowOf(id) {
        const view = list()
        for (let i = 0; i < view.count; ++i) {
            const item = view.itemAtIndex(i)
            if (item && item.jobId === id)
                return item
        }
        return null
    }

    function part(id, name) {
        // Rows are made when the list lays out.
        tryVerify(() => rowOf(id) !== null, 5000, "row of job " + id)
        const row = rowOf(id)
        const item = findChild(row, name)
        verify(item !== null, name)
        return item
    }

    function buttonsOf(id) {
        return ["upButton", "downButton", "cancelButton", "retryButton", "adjustButton", "showButton",
                "removeButton"].filter(name => part(id, name).visible)
    }

    function ctl(name) {
        const item = findChild(win.contentItem, name)
        verify(item !== null, name)
        return item
    }

    function click(item) {
        TestKit.waitForFrame(win.contentItem)
        verify(item.visible)
        mouseClick(item)
    }

    function header() {
        return ctl("statusText").text
    }

    function test_formats_data() {
        return [
            { tag: "eta hours", got: () => win.fmtEta(3725), want: "1 h 2 min left" },
            { tag: "eta minutes", got: () => win.fmtEta(125), want: "2 min 5 s left" },
            { tag: "eta rounded first", got: () => win.fmtEta(59.6), want: "1 min 0 s left" },
            { tag: "eta zero", got: () => win.fmtEta(0), want: "0 s left" },
            { tag: "eta unknown", got: () => win.fmtEta(-1), want: "" },
            { tag: "bytes MiB", got: () => win.fmtBytes(1048576), want: "1.0 MB" },
            { tag: "bytes below MiB", got: () => win.fmtBytes(1048575), want: "1024 KB" },
            { tag: "bytes GiB", got: () => win.fmtBytes(1073741824), want: "1.00 GB" },
            { tag: "running detail", want: "50%  ·  2.3×  ·  30 fps  ·  10.0 MB  ·  1 min 30 s left",
              got: () => QueueFmt.detail({ state: "running", progress: 0.5, pass: 1, passes: 1, speed: 2.34,
                                           fps: 29.97, bytes: 10485760, eta: 90 }, false) },
            { tag: "two passes, nothing else known", want: "12%  ·  pass 2 of 2",
              got: () => QueueFmt.detail({ state: "running", progress: 0.123, pass: 2, passes: 2, speed: 0,
                                           fps: 0, bytes: 0, eta: -1 }, false) },
            { tag: "pending", got: () => QueueFmt.detail({ state: "pending" }, false), want: "Waiting" },
            { tag: "pending paused", got: () => QueueFmt.detail({ state: "pending" }, true),
              want: "Waiting (queue paused)" },
            { tag: "bar above 1", got: () => QueueFmt.barFraction(1.3), want: 1 },
            { tag: "bar below 0", got: () => QueueFmt.barFraction(-0.2), want: 0 },
            { tag: "status idle", got: () => QueueFmt.status(0, 0, false), want: "Nothing to do" },
            { tag: "summary names", got: () => QueueFmt.summary("MKV · hevc / opus"), want: "MKV · HEVC (H.265) / Opus" },
            { tag: "summary copy and none", got: () => QueueFmt.summary("MKA · none / copy"),
              want: "MKA · no video / original" },
            { tag: "summary unknown codec", got: () => QueueFmt.summary("MP4 · h266 / aac"), want: "MP4 · h266 / AAC" },
            { tag: "summary other shape", got: () => QueueFmt.summary("odd"), want: "odd" },
            { tag: "status waiting", got: () => QueueFmt.status(0, 2, false), want: "2 waiting" },
            { tag: "status paused", got: () => QueueFmt.status(0, 2, true), want: "Paused · 2 waiting" },
            { tag: "status running", got: () => QueueFmt.status(1, 2, true), want: "Converting 1 · 2 waiting" },
            { tag: "mark failed", got: () => QueueFmt.stateMark("failed") + QueueFmt.stateColor("failed"),
              want: "!#ef4444" },
            { tag: "mark unknown state", got: () => QueueFmt.stateMark("odd"), want: "…" }
        ]
    }

    function test_formats(data) {
        compare(data.got(), data.want)
    }

    function test_headerAndWaitingRows() {
        compare(header(), "Nothing to do")
        verify(ctl("emptyText").visible)
        const held = heldInput()
        const ids = add([held, TestKit.fixture("clip.mp4"), TestKit.fixture("clip.mp4")])
        compare(header(), "Paused · 3 waiting")
        verify(!ctl("emptyText").visible)
        for (const id of ids) {
            compare(part(id, "detailText").text, "Waiting (queue paused)")
            compare(part(id, "stateMark").text, "…")
            compare(buttonsOf(id), ["upButton", "downButton", "cancelButton", "removeButton"])
        }
        compare(part(ids[1], "summaryText").text, "MP4 · H.264 / AAC")

        // Resume starts the held job only (one at a time); it runs and reports progress.
        click(ctl("pauseButton"))
        compare(Converter.paused, false)
        waitState(ids[0], "running")
        compare(header(), "Converting 1 · 2 waiting")
        compare(part(ids[1], "detailText").text, "Waiting")
        compare(part(ids[0], "stateMark").text, "▶")
        compare(buttonsOf(ids[0]), ["cancelButton"])
        tryVerify(() => jobOf(ids[0]).progress > 0, 30000, "progress reported")
        tryVerify(() => part(ids[0], "progressFill").width > 0, 5000)
        const parts = part(ids[0], "detailText").text.split("  ·  ")
        verify(parts.length >= 2 && /^\d+%$/.test(parts[0]), part(ids[0], "detailText").text)

        // Paused while it runs: it goes on, the waiting rows say why they wait, and its end shows at once.
        compare(ctl("pauseButton").text, "Pause Queue")
        click(ctl("pauseButton"))
        compare(Converter.paused, true)
        compare(ctl("pauseButton").text, "Resume")
        compare(header(), "Converting 1 · 2 waiting")
        compare(part(ids[1], "detailText").text, "Waiting (queue paused)")
        release(held)
        waitState(ids[0], "done")
        compare(part(ids[0], "stateMark").text, "✓")
        compare(part(ids[0], "detailText").text, jobOf(ids[0]).output)
        compare(buttonsOf(ids[0]), ["showButton", "removeButton"])
        compare(header(), "Paused · 2 waiting")
        compare(Converter.running, 0)
    }

    function test_finishedRows() {
        Converter.paused = false
        const ids = add([TestKit.fixture("garbage.mp4"), TestKit.fixture("clip.mp4")])
        waitState(ids[0], "failed")
        waitState(ids[1], "done")
        Converter.paused = true
        const cancelled = add([TestKit.fixture("clip.mp4")])[0]
        click(part(cancelled, "cancelButton"))
        compare(jobOf(cancelled).state, "cancelled")

        // Failed: the mark, the error in red, and what can be done about it.
        const error = jobOf(ids[0]).error
        verify(error.length > 0)
        compare(part(ids[0], "stateMark").text, "!")
        compare(part(ids[0], "detailText").text, error)
        verify(Qt.colorEqual(part(ids[0], "detailText").color, "#ef4444"))
        verify(!part(ids[0], "progressBar").visible)
        compare(buttonsOf(ids[0]), ["retryButton", "adjustButton", "removeButton"])
        // Cancelled
        compare(part(cancelled, "stateMark").text, "–")
        compare(part(cancelled, "detailText").text, "Cancelled")
        verify(Qt.colorEqual(part(cancelled, "detailText").color, "#9ca3af"))
        compare(buttonsOf(cancelled), ["retryButton", "removeButton"])

        // Adjust… hands over the job's settings with its source.
        click(part(ids[0], "adjustButton"))
        compare(adjustSpy.count, 1)
        compare(adjustSpy.signalArguments[0][0].input, TestKit.fixture("garbage.mp4"))
        compare(adjustSpy.signalArguments[0][0].destination, out)

        // Show opens the output's folder.
        click(part(ids[1], "showButton"))
        compare(TestKit.openedUrls.length, 1)
        compare(TestKit.openedUrls[0], "file://" + out)

        // Clear Finished keeps the failed job.
        click(ctl("clearFinishedButton"))
        compare(Converter.jobs.map(j => j.id), [ids[0]])
        compare(list().count, 1)

        // Retry while paused: at once a waiting row.
        click(part(ids[0], "retryButton"))
        compare(part(ids[0], "stateMark").text, "…")
        compare(part(ids[0], "detailText").text, "Waiting (queue paused)")
        verify(part(ids[0], "progressBar").visible)
        compare(buttonsOf(ids[0]), ["upButton", "downButton", "cancelButton", "removeButton"])

        // ✕ removes it.
        click(part(ids[0], "removeButton"))
        compare(Converter.jobs.length, 0)
        compare(list().count, 0)
        verify(ctl("emptyText").visible)
    }

    function test_rowsFollowMovesInPlace() {
        const ids = add([TestKit.fixture("clip.mp4"), TestKit.fixture("clip.mp4"), TestKit.fixture("clip.mp4")])
        const first = part(ids[0], "upButton").parent.parent.parent
        click(part(ids[2], "upButton"))
        compare(Converter.jobs.map(j => j.id), [ids[0], ids[2], ids[1]])
        tryVerify(() => list().itemAtIndex(1) && list().itemAtIndex(1).jobId === ids[2])
        click(part(ids[0], "downButton"))
        compare(Converter.jobs.map(j => j.id), [ids[2], ids[0], ids[1]])
        tryVerify(() => list().itemAtIndex(1) && list().itemAtIndex(1).jobId === ids[0])
        // The same row, moved: nothing was rebuilt.
        verify(first.objectName === "jobRow")
        verify(rowOf(ids[0]) === first)
    }

    function test_longListKeepsItsPlaceWhileAJobRuns() {
        Converter.paused = false
        const held = add([heldInput()])[0]
        waitState(held, "running")
        Converter.paused = true
        const inputs = []
        for (let i = 0; i < 39; ++i)
            inputs.push(TestKit.fixture("clip.mp4"))
        const ids = add(inputs)
        const last = ids[ids.length - 1]
        tryVerify(() => jobOf(held).progress > 0, 30000, "progress reported")

        const view = list()
        view.positionViewAtEnd()
        TestKit.waitForFrame(view)
        verify(view.contentY > 0)
        const y = view.contentY
        const lastRow = rowOf(last)
        verify(lastRow !== null)
        jobsSpy.clear()
        // About three seconds of progress, two reports a second.
        tryVerify(() => jobsSpy.count >= 6, 20000, "updates from the running job")
        compare(view.contentY, y)
        verify(rowOf(last) === lastRow, "the last row lives on")

        click(part(last, "cancelButton"))
        tryVerify(() => jobsSpy.count >= 9, 20000, "more updates")
        // The cancelled row lost its bar, so the end of the list came up by that much; still the end.
        verify(view.contentY > y - 20 && view.atYEnd, view.contentY + " after " + y)
        compare(jobOf(last).state, "cancelled")
        compare(Converter.jobs.filter(j => j.state === "cancelled").map(j => j.id), [last])
        compare(jobOf(held).state, "running")
        compare(Converter.pending, 38)
    }

    function test_queueSettings() {
        const combo = ctl("concurrencyCombo")
        compare(combo.currentIndex, 0)
        combo.forceActiveFocus()
        verify(TestKit.keyClick(combo, Qt.Key_Down))
        compare(Converter.concurrency, 2)
        compare(combo.currentIndex, 1)
        Converter.concurrency = 4
        compare(combo.currentIndex, 3)

        const check = ctl("keepPartialCheck")
        compare(check.checked, false)
        click(check)
        compare(Converter.keepPartial, true)
        Converter.keepPartial = false
        compare(check.checked, false)
        click(check)
        compare(Converter.keepPartial, true)
        Converter.keepPartial = false
    }

    // Names come from files: markup in them is shown as it is.
    function test_namesArePlainText() {
        const input = TestKit.scratchDir + "/a<br>b &amp; c.mp4"
        compare(TestKit.run("cp '" + TestKit.fixture("clip.mp4") + "' '" + input + "'"), 0)
        const id = add([input])[0]
        const name = part(id, "nameText")
        compare(name.text, "a<br>b &amp; c_converted.mp4")
        compare(name.textFormat, Text.PlainText)
        compare(part(id, "summaryText").textFormat, Text.PlainText)
        compare(part(id, "detailText").textFormat, Text.PlainText)
    }

    function test_sizeIsKept() {
        compare(win.minimumWidth, 520)
        compare(win.minimumHeight, 300)
        win.width = 700
        win.height = 480
        tryVerify(() => Number(TestKit.settingsValue("queueWindow/width")) === 700, 10000)
        tryVerify(() => Number(TestKit.settingsValue("queueWindow/height")) === 480, 10000)
        win.width = 680
        win.height = 460
    }

    function test_zz_closeOnlyHides() {
        Converter.paused = false
        const held = add([heldInput()])[0]
        waitState(held, "running")
        click(ctl("closeButton"))
        tryCompare(win, "visible", false)
        compare(jobOf(held).state, "running")
        win.openWindow()
        tryCompare(win, "visible", true)
        // The title bar's close button, likewise.
        win.close()
        tryCompare(win, "visible", false)
        compare(jobOf(held).state, "running")
        win.openWindow()
        tryCompare(win, "visible", true)
        compare(header(), "Converting 1 · 0 waiting")
    }

    // A failed, a running, a pending and a done row, for a look.
    function test_zz_screenshot() {
        Converter.paused = false
        const done = add([TestKit.fixture("clip.mp4")])[0]
        waitState(done, "done")
        const failed = add([TestKit.fixture("garbage.mp4")])[0]
        waitState(failed, "failed")
        const running = add([heldInput()])[0]
        waitState(running, "running")
        Converter.paused = true
        add([TestKit.fixture("clip.mp4")])
        tryVerify(() => jobOf(running).progress > 0, 30000)
        TestKit.waitForFrame(win.contentItem)
        verify(TestKit.screenshot(win, "queue-window") !== "")
    }
}
