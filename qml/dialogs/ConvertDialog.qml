import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer
import "Formats.js" as Formats

// The "Convert / Save" window: collects sources and settings and hands them to Converter in one call. All
// media knowledge (what can be written, what a source holds, where an output goes) comes from Converter.
// One instance lives as long as the main window; every opening keeps the controls as they were, apart from
// the sources and what the last queued settings bring.
Window {
    id: root

    // Local paths or file URL texts (as dialogs and drops deliver them), or network addresses.
    property var sources: []
    // Converter.probe of the only source when it is a local file, else empty.
    property var probeInfo: ({})
    // Stream id → kept, for the audio streams of the only source.
    property var audioPicked: ({})
    readonly property var caps: Converter.capabilities
    property string container: "mp4"
    property string vcodec: "h264"
    property string acodec: "aac"
    readonly property bool audioOnly: ["mp3", "m4a", "ogg", "opus", "flac", "wav"].indexOf(container) >= 0
    readonly property var probeAudio: probeInfo.audio || []
    readonly property var probeSubtitles: probeInfo.subtitles || []
    readonly property bool tracksShown: sources.length === 1 && probeAudio.length > 1
    readonly property string problem: {
        // The encoders are tried on a worker when the window is first made; until they have answered there is
        // nothing to choose from.
        if (caps.containers === undefined)
            return qsTr("Checking which encoders work on this computer…")
        const reason = Converter.checkCodecs(container, audioOnly ? "none" : vcodec, acodec)
        if (reason !== "")
            return reason
        // An empty track list reads as "pick the best one": the output would carry the audio left out.
        if (tracksShown && acodec !== "none" && pickedAudio().length === 0)
            return qsTr("Choose at least one audio track, or No audio")
        return ""
    }

    readonly property var profiles: [
        { label: "Video – MP4 (H.264 / AAC)", container: "mp4", video: "h264", audio: "aac" },
        { label: "Video – WebM (VP9 / Opus)", container: "webm", video: "vp9", audio: "opus" },
        { label: "Video – WebM (AV1 / Opus, small, slow)", container: "webm", video: "av1", audio: "opus" },
        { label: "Video – MKV (keep all, no re-encode)", container: "mkv", video: "copy", audio: "copy" },
        { label: "Video – MP4 (keep video, AAC audio)", container: "mp4", video: "copy", audio: "aac" },
        { label: "Video – MPEG-2 TS (DVD/broadcast)", container: "ts", video: "mpeg2", audio: "ac3" },
        { label: "Audio – MP3", container: "mp3", video: "none", audio: "mp3" },
        { label: "Audio – AAC (M4A)", container: "m4a", video: "none", audio: "aac" },
        { label: "Audio – Opus", container: "opus", video: "none", audio: "opus" },
        { label: "Audio – FLAC (lossless)", container: "flac", video: "none", audio: "flac" },
        { label: "Audio – ALAC (M4A, lossless)", container: "m4a", video: "none", audio: "alac" },
        { label: "Audio – WAV (PCM)", container: "wav", video: "none", audio: "pcm" }
    ]
    readonly property var containerNames: ({
        mp4: "MP4", mkv: "MKV", webm: "WebM", mov: "MOV", avi: "AVI", ts: "MPEG-TS", mp3: "MP3", m4a: "M4A",
        ogg: "Ogg", opus: "Opus", flac: "FLAC", wav: "WAV"
    })
    readonly property var videoNames: Object.assign(
        { copy: qsTr("Keep original (no re-encode)"), none: qsTr("No video") }, Formats.videoCodecNames)
    readonly property var audioNames: Object.assign(
        { copy: qsTr("Keep original"), none: qsTr("No audio") }, Formats.audioCodecNames)
    readonly property var containerKeys: Array.from(caps.containers || [])
    readonly property var videoKeys: ["copy"].concat(Array.from(caps.video || []), ["none"])
    readonly property var audioKeys: ["copy"].concat(Array.from(caps.audio || []), audioOnly ? [] : ["none"])
    readonly property int profileIndex: {
        const video = audioOnly ? "none" : vcodec
        for (let i = 0; i < profiles.length; ++i) {
            const p = profiles[i]
            if (p.container === container && p.video === video && p.audio === acodec)
                return i
        }
        return -1
    }
    readonly property bool reencodesVideo: !audioOnly && vcodec !== "copy" && vcodec !== "none"

    signal queued(int count)

    function openWith(files) {
        // One text alone is one source, not a list of its characters.
        sources = !files ? [] : typeof files === "string" ? [files] : Array.from(files, f => String(f))
        const last = Converter.lastSettings
        if (last && last.container) {
            container = String(last.container)
            if (last.videoCodec)
                vcodec = String(last.videoCodec)
            if (last.audioCodec)
                acodec = String(last.audioCodec)
            const quality = last.quality === undefined ? 2 : Number(last.quality)
            qualityCombo.currentIndex = Math.max(0, Math.min(3, Math.round(quality) || 0))
        }
        reprobe()
        show()
        raise()
        requestActivate()
    }

    function reprobe() {
        // Only a local file is read here, on the GUI thread: a network address could hold the window for as
        // long as the server stalls.
        probeInfo = sources.length === 1 && isLocal(sources[0]) ? Converter.probe(sources[0]) : {}
        const picked = {}
        const audio = probeInfo.audio || []
        for (let i = 0; i < audio.length; ++i)
            picked[audio[i].id] = i === 0
        audioPicked = picked
    }

    function basename(p) {
        // Backslashes are ordinary file-name characters here.
        return p.substring(p.lastIndexOf("/") + 1)
    }

    // A path, or a URL naming a local file ("file:" as dialogs and drops hand them over).
    function isLocal(source) {
        return source.startsWith("/") || /^file:/i.test(source)
    }

    // The last component of the decoded path.
    function displayName(source) {
        let path = source
        if (!source.startsWith("/")) {
            path = FileUrls.localPath(source)
            if (path === "") {
                const cut = source.search(/[?#]/)
                path = cut >= 0 ? source.substring(0, cut) : source
                try {
                    path = decodeURIComponent(path)
                } catch (e) {
                    // A stray "%" that starts no escape: shown as it is.
                }
            }
        }
        const name = basename(path)
        return name !== "" ? name : source
    }

    function addSources(list) {
        const next = sources.slice()
        for (let i = 0; i < list.length; ++i)
            next.push(String(list[i]))
        sources = next
        reprobe()
    }

    function removeSource(index) {
        const next = sources.slice()
        next.splice(index, 1)
        sources = next
        reprobe()
    }

    function pickedAudio() {
        const ids = []
        for (const track of probeAudio) {
            if (audioPicked[track.id] === true)
                ids.push(track.id)
        }
        return ids
    }

    // Only while the field holds a number inside its range: "50" on the way to "500" is not one.
    function kbpsOf(field) {
        return field.acceptableInput ? parseInt(field.text, 10) : 0
    }

    function settings() {
        const map = {
            container: container,
            videoCodec: audioOnly ? "none" : vcodec,
            audioCodec: acodec,
            quality: qualityCombo.currentIndex,
            rateMode: ["quality", "bitrate", "twopass"][rateCombo.currentIndex] || "quality",
            videoKbps: rateCombo.currentIndex === 0 ? 0 : kbpsOf(videoKbpsField),
            maxHeight: [0, 2160, 1440, 1080, 720, 480][resolutionCombo.currentIndex] || 0,
            fps: [0, 24, 25, 30, 50, 60][fpsCombo.currentIndex] || 0,
            audioKbps: kbpsOf(audioKbpsField),
            audioChannels: [0, 2, 1, 6][channelsCombo.currentIndex] || 0,
            subtitles: ["none", "copy", "convert", "burn"][subtitlesCombo.currentIndex] || "none",
            subtitleStream: burnCombo.currentIndex >= 0 && burnCombo.currentIndex < probeSubtitles.length
                            ? probeSubtitles[burnCombo.currentIndex].id : -1,
            keepMetadata: keepTagsCheck.checked,
            keepCover: keepCoverCheck.checked,
            videoFilters: filtersCheck.checked && typeof Player !== "undefined" ? Player.videoFilterChain() : "",
            destination: sameFolderCheck.checked ? "" : folderField.text,
            collision: ["rename", "overwrite", "skip"][collisionCombo.currentIndex] || "rename"
        }
        if (tracksShown)
            map.audioStreams = pickedAudio()
        return map
    }

    function commitPattern() {
        Converter.filenamePattern = patternField.text
        // The queue trims the text and turns a blank one into its default: show what it kept.
        patternField.text = Qt.binding(() => Converter.filenamePattern)
    }

    function convert() {
        commitPattern()
        const count = Converter.addJobs(sources, settings())
        queued(count)
        hide()
    }

    component Heading: Label {
        Layout.columnSpan: 2
        Layout.topMargin: 6
        color: "#ff7a45"
        font.family: "Segoe UI"
        font.pixelSize: 11
        font.weight: Font.DemiBold
    }

    component FormLabel: Label {
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 12
    }

    component Unit: Label {
        text: qsTr("kb/s")
        color: "#9ca3af"
        font.family: "Segoe UI"
        font.pixelSize: 11
    }

    component DarkField: TextField {
        id: field
        selectByMouse: true
        color: enabled ? "#e8eaed" : "#5f646d"
        font.family: "Segoe UI"
        font.pixelSize: 12
        background: Rectangle {
            implicitHeight: 28
            radius: 3
            color: "#1c1f26"
            border.color: field.activeFocus ? "#ff5b22" : "#3a3d44"
        }
    }

    // A combo that is always on one of its choices: a pick is written elsewhere, and the shown choice
    // follows that value again.
    component KeyCombo: DarkCombo {
        property var keys: []
        property var names: ({})
        property string value
        signal picked(string key)

        model: keys.map(k => names[k] !== undefined ? names[k] : k)
        currentIndex: keys.indexOf(value)
        onActivated: index => {
            picked(keys[index])
            currentIndex = Qt.binding(() => keys.indexOf(value))
        }
    }

    title: qsTr("Convert / Save")
    width: 720
    height: 680
    minimumWidth: 600
    minimumHeight: 560
    color: "#16181d"
    // Without CustomizeWindowHint X11 window managers add minimise and maximise anyway.
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint

    AppSettings {
        category: "convertDialog"
        property alias width: root.width
        property alias height: root.height
    }

    FileChooser {
        id: addDialog
        objectName: "convertFilesDialog"
        title: qsTr("Add files to convert")
        fileMode: FileChooser.OpenFiles
        onAccepted: root.addSources(selectedFiles)
    }

    FileChooser {
        id: folderDialog
        fileMode: FileChooser.Folder
        objectName: "convertFolderDialog"
        title: qsTr("Save converted files in")
        // The field holds a path: a URL's escapes ("%23" for "#") are no part of the folder's name.
        onAccepted: folderField.text = FileUrls.localPath(selectedFolder)
    }

    DarkWindowPane {
        ColumnLayout {
            anchors.fill: parent
            spacing: 8

            RowLayout {
                Layout.fillWidth: true
                spacing: 8

                Heading {
                    Layout.columnSpan: 1
                    Layout.topMargin: 0
                    Layout.fillWidth: true
                    text: qsTr("FILES")
                }
                DarkButton {
                    objectName: "addFilesButton"
                    text: qsTr("Add Files…")
                    onClicked: addDialog.open()
                }
                DarkButton {
                    objectName: "clearButton"
                    text: qsTr("Clear")
                    enabled: root.sources.length > 0
                    onClicked: {
                        root.sources = []
                        root.reprobe()
                    }
                }
            }

            Rectangle {
                objectName: "sourceBox"
                Layout.fillWidth: true
                Layout.preferredHeight: Math.max(36, Math.min(110, sourceList.contentHeight + 8))
                color: "#1c1f26"
                radius: 4
                border.color: "#2c3038"

                ListView {
                    id: sourceList
                    objectName: "sourceList"
                    anchors.fill: parent
                    anchors.margins: 4
                    clip: true
                    model: root.sources
                    boundsBehavior: Flickable.StopAtBounds
                    ScrollBar.vertical: ScrollBar {}

                    delegate: RowLayout {
                        objectName: "sourceRow"
                        width: ListView.view.width
                        spacing: 4

                        Text {
                            objectName: "sourceName"
                            Layout.fillWidth: true
                            Layout.leftMargin: 4
                            text: root.displayName(modelData)
                            textFormat: Text.PlainText
                            elide: Text.ElideMiddle
                            font.family: "Segoe UI"
                            font.pixelSize: 12
                            color: "#e8eaed"
                        }
                        ToolButton {
                            objectName: "removeSourceButton"
                            implicitWidth: 24
                            implicitHeight: 24
                            padding: 2
                            font.pixelSize: 11
                            text: "\u2715"
                            onClicked: root.removeSource(index)
                        }
                    }
                }

                Label {
                    objectName: "emptySources"
                    anchors.centerIn: parent
                    visible: root.sources.length === 0
                    text: qsTr("Drop files here or use Add Files…")
                    color: "#5f646d"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                }
            }

            ScrollView {
                id: scroll
                objectName: "formScroll"
                Layout.fillWidth: true
                Layout.fillHeight: true
                contentWidth: availableWidth
                clip: true

                GridLayout {
                    id: form
                    width: scroll.availableWidth
                    columns: 2
                    columnSpacing: 12
                    rowSpacing: 6

                    FormLabel {
                        text: qsTr("Profile")
                    }
                    DarkCombo {
                        id: profileCombo
                        objectName: "profileCombo"
                        Layout.preferredWidth: 300
                        model: root.profiles.map(p => p.label)
                        currentIndex: root.profileIndex
                        displayText: root.profileIndex >= 0 ? root.profiles[root.profileIndex].label : qsTr("Custom")
                        onActivated: index => {
                            const p = root.profiles[index]
                            root.container = p.container
                            root.acodec = p.audio
                            // An audio profile leaves the video choice for a later video container.
                            if (p.video !== "none")
                                root.vcodec = p.video
                            currentIndex = Qt.binding(() => root.profileIndex)
                        }
                    }

                    FormLabel {
                        text: qsTr("Container")
                    }
                    KeyCombo {
                        objectName: "containerCombo"
                        keys: root.containerKeys
                        names: root.containerNames
                        value: root.container
                        onPicked: key => root.container = key
                    }

                    Heading {
                        objectName: "videoHeading"
                        text: qsTr("VIDEO")
                        visible: !root.audioOnly
                    }

                    FormLabel {
                        text: qsTr("Codec")
                        visible: !root.audioOnly
                    }
                    KeyCombo {
                        objectName: "videoCodecCombo"
                        visible: !root.audioOnly
                        Layout.preferredWidth: 240
                        keys: root.videoKeys
                        names: root.videoNames
                        value: root.vcodec
                        onPicked: key => root.vcodec = key
                    }

                    FormLabel {
                        text: qsTr("Speed vs quality")
                        visible: root.reencodesVideo
                    }
                    DarkCombo {
                        id: qualityCombo
                        objectName: "qualityCombo"
                        visible: root.reencodesVideo
                        model: [qsTr("Fastest"), qsTr("Fast"), qsTr("Balanced"), qsTr("Best quality (slow)")]
                        currentIndex: 2
                    }

                    FormLabel {
                        text: qsTr("Rate control")
                        visible: root.reencodesVideo
                    }
                    RowLayout {
                        visible: root.reencodesVideo
                        spacing: 6

                        DarkCombo {
                            id: rateCombo
                            objectName: "rateCombo"
                            Layout.preferredWidth: 260
                            model: [qsTr("Constant quality (recommended)"), qsTr("Target bitrate"),
                                    qsTr("Two-pass bitrate (VP9 / AV1 / MPEG)")]
                        }
                        DarkField {
                            id: videoKbpsField
                            objectName: "videoKbpsField"
                            visible: rateCombo.currentIndex > 0
                            Layout.preferredWidth: 80
                            placeholderText: qsTr("auto")
                            validator: IntValidator {
                                bottom: 100
                                top: 200000
                            }
                        }
                        Unit {
                            visible: rateCombo.currentIndex > 0
                        }
                    }

                    FormLabel {
                        text: qsTr("Resolution")
                        visible: root.reencodesVideo
                    }
                    DarkCombo {
                        id: resolutionCombo
                        objectName: "resolutionCombo"
                        visible: root.reencodesVideo
                        model: [qsTr("Keep"), qsTr("Up to 2160p (4K)"), qsTr("Up to 1440p"), qsTr("Up to 1080p"),
                                qsTr("Up to 720p"), qsTr("Up to 480p")]
                    }

                    FormLabel {
                        text: qsTr("Frame rate")
                        visible: root.reencodesVideo
                    }
                    DarkCombo {
                        id: fpsCombo
                        objectName: "fpsCombo"
                        visible: root.reencodesVideo
                        model: [qsTr("Keep"), "24", "25", "30", "50", "60"]
                    }

                    Item {
                        visible: root.reencodesVideo
                        implicitWidth: 1
                    }
                    DarkCheck {
                        id: filtersCheck
                        objectName: "filtersCheck"
                        visible: root.reencodesVideo
                        Layout.fillWidth: true
                        text: qsTr("Apply the current video filters (Effects & Filters)")
                        enabled: typeof Player !== "undefined" && Object.keys(Player.videoFilters).length > 0
                                 && Player.videoFilterChain() !== ""
                    }

                    Heading {
                        text: qsTr("AUDIO")
                    }

                    FormLabel {
                        text: qsTr("Codec")
                    }
                    KeyCombo {
                        objectName: "audioCodecCombo"
                        Layout.preferredWidth: 240
                        keys: root.audioKeys
                        names: root.audioNames
                        value: root.acodec
                        onPicked: key => root.acodec = key
                    }

                    FormLabel {
                        text: qsTr("Bitrate")
                        visible: audioKbpsRow.visible
                    }
                    RowLayout {
                        id: audioKbpsRow
                        visible: ["aac", "opus", "mp3", "ac3"].indexOf(root.acodec) >= 0
                        spacing: 6

                        DarkField {
                            id: audioKbpsField
                            objectName: "audioKbpsField"
                            Layout.preferredWidth: 80
                            placeholderText: qsTr("auto")
                            validator: IntValidator {
                                bottom: 32
                                top: 640
                            }
                        }
                        Unit {}
                    }

                    FormLabel {
                        text: qsTr("Channels")
                        visible: channelsCombo.visible
                    }
                    DarkCombo {
                        id: channelsCombo
                        objectName: "channelsCombo"
                        visible: root.acodec !== "copy" && root.acodec !== "none"
                        model: [qsTr("Keep"), qsTr("Stereo"), qsTr("Mono"), qsTr("5.1")]
                    }

                    FormLabel {
                        Layout.alignment: Qt.AlignTop
                        Layout.topMargin: 4
                        text: qsTr("Tracks")
                        visible: root.tracksShown
                    }
                    ColumnLayout {
                        objectName: "tracksColumn"
                        visible: root.tracksShown
                        Layout.fillWidth: true
                        spacing: 2

                        Repeater {
                            model: root.tracksShown ? root.probeAudio : []

                            DarkCheck {
                                objectName: "trackCheck"
                                required property var modelData
                                Layout.fillWidth: true
                                text: modelData.label
                                checked: root.audioPicked[modelData.id] === true
                                onToggled: {
                                    const next = Object.assign({}, root.audioPicked)
                                    next[modelData.id] = checked
                                    root.audioPicked = next
                                    checked = Qt.binding(() => root.audioPicked[modelData.id] === true)
                                }
                            }
                        }
                    }

                    Heading {
                        text: qsTr("SUBTITLES & METADATA")
                    }

                    FormLabel {
                        text: qsTr("Subtitles")
                        visible: !root.audioOnly
                    }
                    RowLayout {
                        visible: !root.audioOnly
                        spacing: 6

                        DarkCombo {
                            id: subtitlesCombo
                            objectName: "subtitlesCombo"
                            Layout.preferredWidth: 240
                            model: [qsTr("Leave out"), qsTr("Copy as they are"),
                                    qsTr("Convert to the container's format"), qsTr("Burn into the picture")]
                        }
                        DarkCombo {
                            id: burnCombo
                            objectName: "burnCombo"
                            Layout.preferredWidth: 200
                            visible: subtitlesCombo.currentIndex === 3 && root.probeSubtitles.length > 0
                            model: root.probeSubtitles.map(s => s.label)
                        }
                    }

                    Item {
                        implicitWidth: 1
                    }
                    RowLayout {
                        spacing: 12

                        DarkCheck {
                            id: keepTagsCheck
                            objectName: "keepTagsCheck"
                            text: qsTr("Keep tags (title, artist, …)")
                            checked: true
                        }
                        DarkCheck {
                            id: keepCoverCheck
                            objectName: "keepCoverCheck"
                            text: qsTr("Keep cover art")
                            checked: true
                        }
                    }

                    Heading {
                        text: qsTr("SAVE TO")
                    }

                    FormLabel {
                        text: qsTr("Folder")
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 6

                        DarkCheck {
                            id: sameFolderCheck
                            objectName: "sameFolderCheck"
                            text: qsTr("Same as the source")
                            checked: true
                        }
                        DarkField {
                            id: folderField
                            objectName: "folderField"
                            Layout.fillWidth: true
                            enabled: !sameFolderCheck.checked
                            placeholderText: qsTr("Choose a folder")
                        }
                        DarkButton {
                            objectName: "browseButton"
                            text: qsTr("Browse…")
                            enabled: !sameFolderCheck.checked
                            onClicked: folderDialog.open()
                        }
                    }

                    FormLabel {
                        text: qsTr("File name")
                    }
                    DarkField {
                        id: patternField
                        objectName: "patternField"
                        Layout.fillWidth: true
                        text: Converter.filenamePattern
                        onEditingFinished: root.commitPattern()
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("{name} source name · {format} codec · {quality} preset · {ext} extension")
                    }

                    FormLabel {
                        text: qsTr("If it exists")
                    }
                    DarkCombo {
                        id: collisionCombo
                        objectName: "collisionCombo"
                        model: [qsTr("Add a number"), qsTr("Overwrite"), qsTr("Skip that file")]
                    }

                    Text {
                        objectName: "previewText"
                        Layout.columnSpan: 2
                        Layout.fillWidth: true
                        Layout.topMargin: 4
                        visible: root.sources.length > 0
                        text: {
                            // Read here so a new pattern redraws the line: the queue applies it, out of sight.
                            const pattern = Converter.filenamePattern
                            if (root.sources.length === 0 || pattern === undefined)
                                return ""
                            return qsTr("First output: %1").arg(Converter.plannedOutput(root.sources[0], root.settings()))
                        }
                        textFormat: Text.PlainText
                        elide: Text.ElideMiddle
                        font.family: "Segoe UI"
                        font.pixelSize: 11
                        color: "#5f646d"
                    }
                }
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.preferredHeight: 1
                color: "#2c3038"
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 8

                Text {
                    objectName: "problemText"
                    Layout.fillWidth: true
                    text: root.problem
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                    color: "#fbbf24"
                }
                DarkButton {
                    objectName: "cancelButton"
                    text: qsTr("Cancel")
                    onClicked: root.hide()
                }
                DarkButton {
                    objectName: "convertButton"
                    accent: true
                    text: root.sources.length > 1 ? qsTr("Convert %1 Files").arg(root.sources.length) : qsTr("Convert")
                    enabled: root.sources.length > 0 && root.problem === ""
                    onClicked: root.convert()
                }
            }
        }
    }

    // Anything dropped on the window that carries file URLs joins the sources.
    DropArea {
        id: dropArea
        objectName: "convertDropArea"
        anchors.fill: parent
        keys: ["text/uri-list"]
        onEntered: drag => drag.accept()
        onDropped: drop => {
            if (!drop.hasUrls)
                return
            root.addSources(drop.urls)
            drop.accept()
        }
    }
}
