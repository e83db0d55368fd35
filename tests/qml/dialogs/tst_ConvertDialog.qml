import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The conversion window against the program's real queue. What the window sends is read back from the job
// the queue stored (Converter.jobSettings), so the map is checked as the conversion will see it. The queue
// stays paused unless a test lets a job run.
TestCase {
    id: testCase
    name: "ConvertDialog"
    when: windowShown
    width: 200
    height: 100

    Component {
        id: dialogComponent
        ConvertDialog {}
    }

    Component {
        id: spyComponent
        SignalSpy {
            signalName: "queued"
        }
    }

    readonly property var audioOnlyContainers: ["mp3", "m4a", "ogg", "opus", "flac", "wav"]
    property var spy: null

    // The first window is made before the encoders have been tried (nothing in this process read the lists):
    // it waits for them without blocking, offers nothing meanwhile, and takes them up when they arrive. Every
    // test after it needs the lists.
    function initTestCase() {
        Converter.paused = true
        const dialog = createTemporaryObject(dialogComponent, testCase)
        // No event has run since the lists were first asked for, so their answer cannot be in yet.
        compare(Converter.capabilities.containers, undefined)
        dialog.openWith([TestKit.fixture("clip.mp4")])
        verify(dialog.problem !== "", "a waiting note")
        verify(!ctl(dialog, "convertButton").enabled)
        compare(comboTexts(dialog, "containerCombo"), [])
        tryVerify(() => Converter.capabilities.containers !== undefined, 120000, "the encoder lists arrive")
        compare(dialog.problem, "")
        verify(ctl(dialog, "convertButton").enabled)
        compare(ctl(dialog, "containerCombo").displayText, "MP4")
        compare(ctl(dialog, "videoCodecCombo").displayText, "H.264")
        compare(ctl(dialog, "profileCombo").displayText, "Video – MP4 (H.264 / AAC)")
        dialog.hide()
    }

    function cleanup() {
        Converter.paused = true
        for (const job of Converter.jobs)
            Converter.cancel(job.id)
        tryVerify(() => Converter.running === 0, 20000, "running jobs end")
        for (const job of Converter.jobs)
            Converter.remove(job.id)
        compare(Converter.jobs.length, 0)
        Converter.filenamePattern = ""
    }

    // A new window (every control as it starts), opened with files.
    function open(files) {
        const dialog = createTemporaryObject(dialogComponent, testCase)
        spy = createTemporaryObject(spyComponent, testCase, { target: dialog })
        dialog.openWith(files)
        tryCompare(dialog, "visible", true)
        TestKit.waitForFrame(dialog.contentItem)
        return dialog
    }

    function ctl(dialog, name) {
        const item = findChild(dialog.contentItem, name) || findChild(dialog, name)
        verify(item !== null, name)
        return item
    }

    // What a user's choice in a combo does: the entry becomes current and the combo reports the activation.
    function choose(dialog, name, text) {
        const combo = ctl(dialog, name)
        const at = combo.model.indexOf(text)
        verify(at >= 0, text + " in " + JSON.stringify(combo.model))
        combo.currentIndex = at
        combo.activated(at)
    }

    // What a click on a check does (a method of its own only from Qt 6.8 on).
    function tick(check) {
        check.toggle()
        check.toggled()
    }

    function typeInto(field, text) {
        field.text = ""
        field.forceActiveFocus()
        verify(TestKit.keyClicks(field, text))
        compare(field.text, text)
    }

    function fileUrl(path) {
        return String(FileUrls.fileUrl("file:///", path.substring(1)))
    }

    // A copy of a fixture under name in the scratch folder (sub-folders made); its path.
    function copyOf(fixture, name) {
        const path = TestKit.scratchDir + "/" + name
        compare(TestKit.run("mkdir -p \"$(dirname '" + path + "')\" && cp '" + TestKit.fixture(fixture) + "' '"
                            + path + "'"), 0)
        return path
    }

    // Presses Convert and returns the settings the queue stored for the first new job; the jobs are removed
    // and the window shown again with its controls as they were.
    function sent(dialog) {
        const before = Converter.jobs.length
        const button = ctl(dialog, "convertButton")
        verify(button.enabled, "Convert enabled; problem: " + dialog.problem)
        mouseClick(button)
        tryCompare(dialog, "visible", false)
        const added = Converter.jobs.slice(before)
        verify(added.length > 0)
        const settings = Converter.jobSettings(added[0].id)
        for (const job of added)
            Converter.remove(job.id)
        dialog.show()
        tryCompare(dialog, "visible", true)
        return settings
    }

    function trackChecks(dialog) {
        const tracks = ctl(dialog, "tracksColumn")
        const checks = []
        for (let i = 0; i < tracks.children.length; ++i) {
            if (tracks.children[i].objectName === "trackCheck")
                checks.push(tracks.children[i])
        }
        return checks
    }

    function comboTexts(dialog, name) {
        return Array.from(ctl(dialog, name).model)
    }

    function test_profilesAndTheCodecsTheySet() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        const profile = ctl(dialog, "profileCombo")
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        compare(profile.displayText, "Video – MP4 (H.264 / AAC)")
        verify(ctl(dialog, "videoHeading").visible)

        choose(dialog, "profileCombo", "Audio – MP3")
        compare(profile.displayText, "Audio – MP3")
        verify(!ctl(dialog, "videoHeading").visible)
        verify(!ctl(dialog, "videoCodecCombo").visible)
        verify(!ctl(dialog, "qualityCombo").visible)
        verify(!ctl(dialog, "subtitlesCombo").visible)
        let settings = sent(dialog)
        compare(settings.container, "mp3")
        compare(settings.videoCodec, "none")
        compare(settings.audioCodec, "mp3")

        // The video choice waited: the MP4 container shows H.264 again, now beside MP3 audio.
        choose(dialog, "containerCombo", "MP4")
        verify(ctl(dialog, "videoCodecCombo").visible)
        compare(ctl(dialog, "videoCodecCombo").displayText, "H.264")
        compare(ctl(dialog, "audioCodecCombo").displayText, "MP3")
        compare(profile.displayText, "Custom")
        compare(profile.currentIndex, -1)
        settings = sent(dialog)
        compare([settings.container, settings.videoCodec, settings.audioCodec], ["mp4", "h264", "mp3"])

        choose(dialog, "containerCombo", "MKV")
        choose(dialog, "videoCodecCombo", "Keep original (no re-encode)")
        choose(dialog, "audioCodecCombo", "Keep original")
        compare(profile.displayText, "Video – MKV (keep all, no re-encode)")
        // Nothing is re-encoded: no encoder settings and no channel choice.
        verify(!ctl(dialog, "qualityCombo").visible)
        verify(!ctl(dialog, "rateCombo").visible)
        verify(!ctl(dialog, "channelsCombo").visible)
        choose(dialog, "audioCodecCombo", "AAC")
        compare(profile.displayText, "Custom")
    }

    function test_codecListsFollowTheCapabilities() {
        const caps = Converter.capabilities
        const videoNames = { h264: "H.264", hevc: "HEVC (H.265)", vp9: "VP9", av1: "AV1", mpeg4: "MPEG-4 Part 2",
                             mpeg2: "MPEG-2" }
        const audioNames = { aac: "AAC", opus: "Opus", mp3: "MP3", flac: "FLAC", alac: "ALAC", ac3: "AC-3",
                             pcm: "PCM (WAV)" }
        const containerNames = { mp4: "MP4", mkv: "MKV", webm: "WebM", mov: "MOV", avi: "AVI", ts: "MPEG-TS",
                                 mp3: "MP3", m4a: "M4A", ogg: "Ogg", opus: "Opus", flac: "FLAC", wav: "WAV" }
        const named = (table, key) => table[key] !== undefined ? table[key] : key
        verify(caps.video.length > 0 && caps.audio.length > 0 && caps.containers.length > 0)

        const dialog = open([TestKit.fixture("clip.mp4")])
        compare(comboTexts(dialog, "containerCombo"), Array.from(caps.containers).map(k => named(containerNames, k)))
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        compare(comboTexts(dialog, "videoCodecCombo"),
                ["Keep original (no re-encode)"].concat(Array.from(caps.video).map(k => named(videoNames, k)),
                                                        ["No video"]))
        const audio = ["Keep original"].concat(Array.from(caps.audio).map(k => named(audioNames, k)))
        for (const key of caps.containers) {
            choose(dialog, "containerCombo", named(containerNames, key))
            const audioOnly = audioOnlyContainers.indexOf(key) >= 0
            compare(comboTexts(dialog, "audioCodecCombo"), audioOnly ? audio : audio.concat(["No audio"]), key)
            compare(ctl(dialog, "videoCodecCombo").visible, !audioOnly, key)
        }
    }

    function test_disallowedCombinationBlocksConvert() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – WebM (VP9 / Opus)")
        compare(ctl(dialog, "problemText").text, "")
        verify(ctl(dialog, "convertButton").enabled)
        choose(dialog, "audioCodecCombo", "AAC")
        compare(ctl(dialog, "problemText").text, "WebM allows only Opus audio")
        compare(ctl(dialog, "problemText").textFormat, Text.PlainText)
        verify(!ctl(dialog, "convertButton").enabled)
        choose(dialog, "audioCodecCombo", "Opus")
        verify(ctl(dialog, "convertButton").enabled)
    }

    // Container, codecs and speed come back from the last queued job; the rest stays as the user left it.
    function test_openWithTakesOnlyTheCodecsFromTheLastJob() {
        const clip = TestKit.fixture("clip.mp4")
        const dialog = open([clip])
        choose(dialog, "profileCombo", "Video – WebM (VP9 / Opus)")
        choose(dialog, "qualityCombo", "Best quality (slow)")
        sent(dialog)
        compare(Converter.lastSettings.container, "webm")

        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "qualityCombo", "Fastest")
        choose(dialog, "resolutionCombo", "Up to 720p")
        choose(dialog, "collisionCombo", "Overwrite")
        choose(dialog, "subtitlesCombo", "Copy as they are")
        tick(ctl(dialog, "keepCoverCheck"))
        dialog.hide()
        dialog.openWith([TestKit.fixture("tone6.mkv")])
        compare(dialog.sources, [TestKit.fixture("tone6.mkv")])
        compare(ctl(dialog, "profileCombo").displayText, "Video – WebM (VP9 / Opus)")
        compare(ctl(dialog, "qualityCombo").displayText, "Best quality (slow)")
        compare(ctl(dialog, "resolutionCombo").displayText, "Up to 720p")
        compare(ctl(dialog, "collisionCombo").displayText, "Overwrite")
        compare(ctl(dialog, "subtitlesCombo").displayText, "Copy as they are")
        verify(!ctl(dialog, "keepCoverCheck").checked)
        const settings = sent(dialog)
        compare([settings.container, settings.videoCodec, settings.audioCodec, settings.quality],
                ["webm", "vp9", "opus", 3])
        compare([settings.maxHeight, settings.collision, settings.subtitles, settings.keepCover],
                [720, "overwrite", "copy", false])

        // Settings queued without a speed (by another caller): Balanced.
        compare(Converter.addJobs([clip], { container: "mkv", videoCodec: "copy", audioCodec: "copy" }), 1)
        choose(dialog, "qualityCombo", "Fastest")
        dialog.openWith([clip])
        compare(ctl(dialog, "profileCombo").displayText, "Video – MKV (keep all, no re-encode)")
        compare(ctl(dialog, "qualityCombo").displayText, "Balanced")
    }

    function test_audioTracksOfASingleSource() {
        const labels = TestKit.fixture("labels.mkv")
        const probed = Converter.probe(labels).audio
        compare(probed.length, 3)
        const dialog = open([labels])
        choose(dialog, "profileCombo", "Video – MKV (keep all, no re-encode)")
        const tracks = ctl(dialog, "tracksColumn")
        verify(tracks.visible)
        const checks = trackChecks(dialog)
        compare(checks.map(c => c.text), probed.map(t => t.label))
        compare(checks.map(c => c.checked), [true, false, false])
        compare(JSON.stringify(sent(dialog).audioStreams), JSON.stringify([probed[0].id]))

        // Only the third.
        tick(checks[0])
        tick(checks[2])
        compare(JSON.stringify(sent(dialog).audioStreams), JSON.stringify([probed[2].id]))

        // None: the conversion would take the best track, so the window asks for one.
        tick(checks[2])
        compare(ctl(dialog, "problemText").text, "Choose at least one audio track, or No audio")
        verify(!ctl(dialog, "convertButton").enabled)
        choose(dialog, "audioCodecCombo", "No audio")
        compare(ctl(dialog, "problemText").text, "")
        choose(dialog, "audioCodecCombo", "Keep original")
        verify(!ctl(dialog, "convertButton").enabled)

        // A second source, dropped on the window: no tracks to pick, and no track list sent.
        verify(TestKit.enterDrag(dialog.contentItem, 300, 300, [fileUrl(TestKit.fixture("clip.mp4"))], ""))
        verify(TestKit.dropDrag())
        tryVerify(() => dialog.sources.length === 2, 5000, "the drop is taken")
        compare(dialog.sources[1], fileUrl(TestKit.fixture("clip.mp4")))
        verify(!tracks.visible)
        verify(ctl(dialog, "convertButton").enabled)
        const settings = sent(dialog)
        verify(!("audioStreams" in settings), JSON.stringify(settings))
        compare(settings.subtitleStream, -1)

        // Back to one source: probed again, the first track picked.
        dialog.removeSource(1)
        verify(tracks.visible)
        compare(JSON.stringify(sent(dialog).audioStreams), JSON.stringify([probed[0].id]))
    }

    function test_burnInTrackOfASingleSource() {
        const multi = TestKit.fixture("multi.mkv")
        const subtitles = Converter.probe(multi).subtitles
        verify(subtitles.length > 0)
        const dialog = open([multi])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        const burn = ctl(dialog, "burnCombo")
        verify(!burn.visible)
        choose(dialog, "subtitlesCombo", "Burn into the picture")
        verify(burn.visible)
        compare(comboTexts(dialog, "burnCombo"), subtitles.map(s => s.label))
        const settings = sent(dialog)
        compare(settings.subtitles, "burn")
        compare(settings.subtitleStream, subtitles[0].id)
    }

    function test_bitRates_data() {
        return [
            { tag: "target bit rate", rate: "Target bitrate", video: "2500", audio: "192", want: [2500, 192] },
            { tag: "two passes", rate: "Two-pass bitrate (VP9 / AV1 / MPEG)", video: "800", audio: "", want: [800, 0] },
            { tag: "constant quality after a typed rate", rate: "Target bitrate", video: "2500", audio: "96",
              then: "Constant quality (recommended)", want: [0, 96] },
            { tag: "below the range", rate: "Target bitrate", video: "50", audio: "20", want: [0, 0] },
        ]
    }

    function test_bitRates(data) {
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        const video = ctl(dialog, "videoKbpsField")
        verify(!video.visible)
        choose(dialog, "rateCombo", data.rate)
        verify(video.visible)
        typeInto(video, data.video)
        if (data.audio !== "")
            typeInto(ctl(dialog, "audioKbpsField"), data.audio)
        if (data.then) {
            choose(dialog, "rateCombo", data.then)
            verify(!video.visible)
        }
        const settings = sent(dialog)
        compare([settings.videoKbps, settings.audioKbps], data.want)
        compare(settings.rateMode, ["quality", "bitrate", "twopass"][ctl(dialog, "rateCombo").currentIndex])
    }

    // Every key of the map, as the queue stored it, from a form set away from its starting values.
    function test_settingsMapKeyByKey() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "qualityCombo", "Fast")
        choose(dialog, "resolutionCombo", "Up to 1080p")
        choose(dialog, "fpsCombo", "25")
        choose(dialog, "channelsCombo", "Mono")
        choose(dialog, "subtitlesCombo", "Convert to the container's format")
        choose(dialog, "collisionCombo", "Add a number")
        tick(ctl(dialog, "keepTagsCheck"))
        tick(ctl(dialog, "sameFolderCheck"))
        ctl(dialog, "folderField").text = TestKit.scratchDir + "/out"
        const settings = sent(dialog)
        delete settings.input
        const want = {
            audioChannels: 1, audioCodec: "aac", audioKbps: 0, collision: "rename", container: "mp4",
            destination: TestKit.scratchDir + "/out", fps: 25, keepCover: true, keepMetadata: false, maxHeight: 1080,
            quality: 1, rateMode: "quality", subtitleStream: -1, subtitles: "convert", videoCodec: "h264",
            videoFilters: "", videoKbps: 0
        }
        compare(Object.keys(settings).sort(), Object.keys(want).sort())
        for (const key in want)
            compare(settings[key], want[key], key)
        // The filters check follows the player: nothing playing, nothing to apply.
        verify(!ctl(dialog, "filtersCheck").enabled)
    }

    // The player's filter chain goes with the job only while the check is on.
    function test_currentVideoFilters() {
        const before = Player.videoFilters
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        const check = ctl(dialog, "filtersCheck")
        compare(Player.videoFilterChain(), "")
        verify(!check.enabled)
        Player.videoFilters = Object.assign({}, before, { sharpen: 2 })
        const chain = Player.videoFilterChain()
        verify(chain !== "")
        verify(check.enabled)
        compare(sent(dialog).videoFilters, "")
        tick(check)
        compare(sent(dialog).videoFilters, chain)
        Player.videoFilters = before
        verify(!check.enabled)
    }

    function test_sourceList() {
        const dialog = open([])
        const button = ctl(dialog, "convertButton")
        compare(button.text, "Convert")
        verify(!button.enabled)
        verify(ctl(dialog, "emptySources").visible)
        verify(!ctl(dialog, "previewText").visible)
        verify(!ctl(dialog, "clearButton").enabled)

        // A file URL text whose name holds an escaped space: listed by its name, the space decoded.
        const spaced = copyOf("clip.mp4", "list/my clip.mp4")
        const escaped = "file://" + spaced.replace(/ /g, "%20")
        dialog.openWith([escaped])
        compare(dialog.sources, [escaped])
        const list = ctl(dialog, "sourceList")
        tryVerify(() => list.itemAtIndex(0) !== null)
        compare(findChild(list.itemAtIndex(0), "sourceName").text, "my clip.mp4")
        compare(button.text, "Convert")
        verify(button.enabled)
        verify(!ctl(dialog, "emptySources").visible)
        verify(ctl(dialog, "previewText").visible)
        // Probed through its URL.
        verify(dialog.probeInfo.ok)

        // Add Files… appends what its dialog gives.
        const files = findChild(dialog, "convertFilesDialog")
        verify(files !== null)
        files.selectedFile = fileUrl(TestKit.fixture("tone6.mkv"))
        mouseClick(ctl(dialog, "addFilesButton"))
        tryCompare(files, "visible", true)
        files.accept()
        compare(dialog.sources.length, 2)
        compare(FileUrls.localPath(dialog.sources[1]), TestKit.fixture("tone6.mkv"))
        dialog.addSources(["http://127.0.0.1:9/live/stream.ts?token=1"])
        compare(button.text, "Convert 3 Files")
        tryVerify(() => list.count === 3 && list.itemAtIndex(2) !== null)
        compare(findChild(list.itemAtIndex(1), "sourceName").text, "tone6.mkv")
        compare(findChild(list.itemAtIndex(2), "sourceName").text, "stream.ts")
        // Several sources: nothing probed.
        compare(JSON.stringify(dialog.probeInfo), "{}")

        mouseClick(findChild(list.itemAtIndex(1), "removeSourceButton"))
        compare(dialog.sources, [escaped, "http://127.0.0.1:9/live/stream.ts?token=1"])
        compare(button.text, "Convert 2 Files")
        mouseClick(ctl(dialog, "clearButton"))
        compare(dialog.sources, [])
        verify(!button.enabled)

        compare(dialog.basename("/a/b/c.mkv"), "c.mkv")
        compare(dialog.basename("c.mkv"), "c.mkv")
    }

    // Names come from files and tags: markup in them is shown as it is.
    function test_namesArePlainText() {
        const odd = copyOf("labels.mkv", "odd/a<br>b &amp; <i>c.mkv")
        const dialog = open([odd])
        const list = ctl(dialog, "sourceList")
        tryVerify(() => list.itemAtIndex(0) !== null)
        const name = findChild(list.itemAtIndex(0), "sourceName")
        compare(name.text, "a<br>b &amp; <i>c.mkv")
        compare(name.textFormat, Text.PlainText)
        const checks = trackChecks(dialog)
        compare(checks.length, 3)
        compare(checks[0].contentItem.textFormat, Text.PlainText)
        compare(ctl(dialog, "previewText").textFormat, Text.PlainText)
    }

    function test_browsePutsTheFolderPathInTheField() {
        const folder = TestKit.scratchDir + "/My Videos #2"
        compare(TestKit.run("mkdir -p '" + folder + "'"), 0)
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        const field = ctl(dialog, "folderField")
        const browse = ctl(dialog, "browseButton")
        verify(!field.enabled && !browse.enabled)
        tick(ctl(dialog, "sameFolderCheck"))
        verify(field.enabled && browse.enabled)
        // Below the fold of the form: its handler, as a click runs it.
        browse.clicked()
        const folders = findChild(dialog, "convertFolderDialog")
        tryCompare(folders, "visible", true)
        folders.currentFolder = fileUrl(TestKit.scratchDir)
        folders.selectedFolder = fileUrl(folder)
        verify(String(folders.selectedFolder).indexOf("%23") > 0)
        folders.accept()
        compare(field.text, folder)

        Converter.paused = false
        mouseClick(ctl(dialog, "convertButton"))
        compare(spy.count, 1)
        compare(spy.signalArguments[0][0], 1)
        const job = Converter.jobs[Converter.jobs.length - 1]
        compare(job.output, folder + "/clip_converted.mp4")
        tryVerify(() => Converter.jobs.find(j => j.id === job.id).state === "done", 60000, "the job finishes")
        compare(TestKit.run("test -s '" + folder + "/clip_converted.mp4'"), 0)
    }

    // A network source is listed without being read: a stalled server cannot hold the window.
    function test_networkSourceIsNotProbed() {
        TestKit.hang("/stall.mp4")
        const url = TestKit.url("/stall.mp4")
        const dialog = open([url])
        compare(dialog.sources, [url])
        verify(!ctl(dialog, "tracksColumn").visible)
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "subtitlesCombo", "Burn into the picture")
        verify(!ctl(dialog, "burnCombo").visible)
        const list = ctl(dialog, "sourceList")
        tryVerify(() => list.itemAtIndex(0) !== null)
        compare(findChild(list.itemAtIndex(0), "sourceName").text, "stall.mp4")
        verify(ctl(dialog, "convertButton").enabled)
        wait(100)
        compare(TestKit.requestCount("/stall.mp4"), 0)
    }

    // The field's text is the pattern the jobs get even while its editing has not finished.
    function test_convertStoresThePatternThenQueues() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "qualityCombo", "Balanced")
        const out = TestKit.scratchDir + "/pattern"
        tick(ctl(dialog, "sameFolderCheck"))
        ctl(dialog, "folderField").text = out
        const field = ctl(dialog, "patternField")
        compare(field.text, "{name}_converted.{ext}")
        verify(!field.activeFocus)
        field.text = "  {name}-{quality}.{ext}"
        compare(Converter.filenamePattern, "{name}_converted.{ext}")
        Converter.paused = false
        mouseClick(ctl(dialog, "convertButton"))
        compare(Converter.filenamePattern, "{name}-{quality}.{ext}")
        compare(field.text, "{name}-{quality}.{ext}")
        compare(spy.count, 1)
        compare(spy.signalArguments[0][0], 1)
        verify(!dialog.visible)
        const job = Converter.jobs[Converter.jobs.length - 1]
        compare(job.output, out + "/clip-balanced.mp4")
        tryVerify(() => Converter.jobs.find(j => j.id === job.id).state === "done", 60000, "the job finishes")
        compare(spy.count, 1)
    }

    function test_patternFieldWritesWhenEditingEnds() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        const field = ctl(dialog, "patternField")
        typeInto(field, "{name}.{format}")
        compare(Converter.filenamePattern, "{name}_converted.{ext}")
        verify(TestKit.keyClick(field, Qt.Key_Return))
        compare(Converter.filenamePattern, "{name}.{format}")
        // Return ends the editing only: nothing is queued, the window stays.
        compare(spy.count, 0)
        verify(dialog.visible)
        compare(Converter.jobs.length, 0)
        // A blank pattern is the queue's default again, and the field shows it.
        field.forceActiveFocus()
        field.text = " "
        verify(TestKit.keyClick(field, Qt.Key_Return))
        compare(Converter.filenamePattern, "{name}_converted.{ext}")
        compare(field.text, "{name}_converted.{ext}")
        compare(TestKit.settingsValue("convert/pattern"), "{name}_converted.{ext}")
    }

    // The preview names the planned file; the queue settles a taken name, or leaves the file out.
    function test_existingOutput_data() {
        return [
            { tag: "add a number", rule: "Add a number", queued: 1, output: "clip_converted (2).mp4" },
            { tag: "skip", rule: "Skip that file", queued: 0 },
        ]
    }

    function test_existingOutput(data) {
        const clip = copyOf("clip.mp4", "taken-" + data.queued + "/clip.mp4")
        const folder = clip.substring(0, clip.lastIndexOf("/"))
        compare(TestKit.run("touch '" + folder + "/clip_converted.mp4'"), 0)
        const dialog = open([clip])
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "collisionCombo", data.rule)
        compare(ctl(dialog, "previewText").text, "First output: " + folder + "/clip_converted.mp4")
        mouseClick(ctl(dialog, "convertButton"))
        compare(spy.count, 1)
        compare(spy.signalArguments[0][0], data.queued)
        verify(!dialog.visible)
        compare(Converter.jobs.length, data.queued)
        if (data.queued)
            compare(Converter.jobs[0].output, folder + "/" + data.output)
    }

    function test_previewFollowsTheControls() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        const preview = ctl(dialog, "previewText")
        const folder = TestKit.fixture("clip.mp4").replace(/\/[^/]*$/, "")
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        compare(preview.text, "First output: " + folder + "/clip_converted.mp4")
        choose(dialog, "profileCombo", "Audio – FLAC (lossless)")
        compare(preview.text, "First output: " + folder + "/clip_converted.flac")
        tick(ctl(dialog, "sameFolderCheck"))
        ctl(dialog, "folderField").text = "/srv/music"
        compare(preview.text, "First output: /srv/music/clip_converted.flac")
        Converter.filenamePattern = "{name} {format}"
        compare(preview.text, "First output: /srv/music/clip flac.flac")
    }

    function test_cancelAndTitleBarCloseOnlyHide() {
        const dialog = open([TestKit.fixture("clip.mp4")])
        choose(dialog, "profileCombo", "Audio – Opus")
        mouseClick(ctl(dialog, "cancelButton"))
        tryCompare(dialog, "visible", false)
        dialog.show()
        tryCompare(dialog, "visible", true)
        compare(ctl(dialog, "profileCombo").displayText, "Audio – Opus")
        dialog.close()
        tryCompare(dialog, "visible", false)
        compare(spy.count, 0)
        compare(Converter.jobs.length, 0)
        compare(dialog.sources, [TestKit.fixture("clip.mp4")])
    }

    function test_window() {
        const dialog = open([])
        compare(dialog.title, "Convert / Save")
        compare([dialog.minimumWidth, dialog.minimumHeight], [600, 560])
        verify(dialog.flags & Qt.CustomizeWindowHint)
        verify(!(dialog.flags & Qt.WindowMinimizeButtonHint) && !(dialog.flags & Qt.WindowMaximizeButtonHint))
        dialog.width = 760
        dialog.height = 700
        tryVerify(() => Number(TestKit.settingsValue("convertDialog/width")) === 760, 10000)
        tryVerify(() => Number(TestKit.settingsValue("convertDialog/height")) === 700, 10000)
        const again = createTemporaryObject(dialogComponent, testCase)
        compare([again.width, again.height], [760, 700])
        dialog.width = 720
        dialog.height = 680
    }

    // One video source with two audio tracks and subtitles, the whole form, for a look.
    function test_zz_screenshot() {
        const dialog = open([TestKit.fixture("multi.mkv")])
        dialog.height = 780
        choose(dialog, "profileCombo", "Video – MP4 (H.264 / AAC)")
        choose(dialog, "rateCombo", "Target bitrate")
        typeInto(ctl(dialog, "videoKbpsField"), "2500")
        choose(dialog, "subtitlesCombo", "Burn into the picture")
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(dialog, "convert-dialog") !== "")
        // The rest of the form, scrolled to its end.
        const flick = ctl(dialog, "formScroll").contentItem
        flick.contentY = flick.contentHeight - flick.height
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(dialog, "convert-dialog-end") !== "")
        dialog.height = 680
    }
}
