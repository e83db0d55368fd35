import QtQuick
import QtTest
import Kestrune.MediaPlayer

// The conversion queue as the windows reach it: the program's own "Converter", read from QML.
TestCase {
    id: testCase
    name: "Converter"

    SignalSpy {
        id: jobsSpy
        target: Converter
        signalName: "jobsChanged"
    }

    // Paused, so that no job of these tests ever starts a conversion.
    function initTestCase() {
        Converter.paused = true
    }

    function cleanup() {
        for (const job of Converter.jobs)
            Converter.remove(job.id)
        compare(Converter.jobs.length, 0)
    }

    function test_capabilitiesAreListsOfNames() {
        // Tried on a worker: the lists are announced once they are known.
        tryVerify(() => Converter.capabilities.containers !== undefined, 120000, "the encoder lists arrive")
        const caps = Converter.capabilities
        for (const key of ["video", "audio", "containers", "hardware"])
            verify(Array.isArray(caps[key]) || caps[key].length !== undefined, key)
        verify(caps.video.indexOf("h264") >= 0, JSON.stringify(caps.video))
        verify(caps.containers.indexOf("mp4") >= 0, JSON.stringify(caps.containers))
        compare(Converter.checkCodecs("webm", "h264", "opus"), "WebM allows only VP9 or AV1 video")
    }

    function test_jobsListQueuedConversions() {
        const clip = TestKit.fixture("clip.mp4")
        const folder = TestKit.scratchDir + "/converted"
        jobsSpy.clear()
        compare(Converter.addJobs([clip], { container: "mkv", videoCodec: "h264", audioCodec: "opus",
                                            audioStreams: [1], destination: folder }), 1)
        verify(jobsSpy.count >= 1)
        const jobs = Converter.jobs
        compare(jobs.length, 1)
        compare(jobs[0].input, clip)
        compare(jobs[0].output, folder + "/clip_converted.mkv")
        compare(jobs[0].name, "clip_converted.mkv")
        compare(jobs[0].state, "pending")
        compare(jobs[0].summary, "MKV · h264 / opus")
        compare(Converter.pending, 1)
        compare(Converter.running, 0)
        compare(Converter.lastSettings.audioStreams[0], 1)
        compare(Converter.jobSettings(jobs[0].id).input, clip)
        // The map QML built reaches the queue file whole, its list included.
        compare(TestKit.run("grep -rqF '\"audioStreams\":[1]' '" + TestKit.scratchDir
                            + "/data' --include=transcode_queue.json"), 0)
    }

    function test_probeReadsTracks() {
        const info = Converter.probe(TestKit.fixture("multi.mkv"))
        verify(info.ok)
        verify(info.hasVideo)
        compare(info.audio.length, 2)
        compare(info.subtitles[0].label, "eng  (subrip)")
    }
}
