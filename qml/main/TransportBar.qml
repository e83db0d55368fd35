import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Basic as BasicControls
import Kestrune.MediaPlayer

// The transport bar under the stage: the seek bar with its chapter marks and time tip, the time, the playback
// buttons and the tools (subtitles, speed, volume, casting, playlist, full screen). In full screen it floats
// over the picture's bottom and fades out with the window's other controls.
Rectangle {
    id: transportBar
    objectName: "transportBar"

    // The main window: its state, its commands and its other host.windows.
    required property var host
    // The pointer is over the bar: the controls stay.
    readonly property alias hovered: transportHover.hovered
    // One of the bar's pop-ups is open: the bar, and the button it hangs from, stay.
    readonly property bool menuOpen: subsMenu.opened || speedMenu.opened || castMenu.opened

    // How much the bottom row has to give up: 0 leaves room for every control.
    readonly property int compact: width < 400 ? 4 : width < 470 ? 3 : width < 560 ? 2
                                 : width < 660 ? 1 : 0

    height: 64
    readonly property bool hiding: host.fs && !host.controlsShown
    opacity: hiding ? 0 : 1
    // Stops drawing and taking input only once the fade-out has ended; shows as a fade-in begins.
    visible: !hiding || opacity > 0
    Behavior on opacity {
        NumberAnimation { duration: 200 }
    }
    // Translucent in full screen, where the bar floats over the picture.
    gradient: Gradient {
        GradientStop { position: 0.0; color: host.fs ? "#d014161b" : "#14161b" }
        GradientStop { position: 1.0; color: host.fs ? "#e00e1014" : "#0e1014" }
    }

    HoverHandler {
        id: transportHover
        onHoveredChanged: host.pokeControls()
    }

    Rectangle {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        height: 1
        color: "#22252c"
    }

    Item {
        id: seekArea
        objectName: "seekArea"
        property bool scrubbing: false
        property real scrubFraction: 0
        readonly property real liveFraction: typeof Player !== "undefined" && Player.durationUs > 0
            ? Math.min(1, Player.clockUs / Player.durationUs) : 0
        // The pointer's place while dragging, the clock otherwise: the bar seeks only on release.
        readonly property real displayFraction: scrubbing ? scrubFraction : liveFraction

        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.topMargin: 4
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        height: 16

        Rectangle {
            id: seekTrack
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            height: seekMouse.containsMouse || seekArea.scrubbing ? 6 : 4
            radius: 3
            color: "#1c1f26"
            Behavior on height {
                NumberAnimation { duration: 100 }
            }

            Rectangle {
                id: seekProgress
                objectName: "seekProgress"
                anchors.left: parent.left
                height: parent.height
                width: parent.width * seekArea.displayFraction
                radius: 3
                color: "#ff5b22"
            }

            // Marks only the boundaries between chapters, so the first chapter has none.
            Repeater {
                objectName: "chapterMarks"
                model: typeof Player !== "undefined" && Player.durationUs > 0 ? Player.chapters : []
                delegate: Rectangle {
                    required property var modelData
                    required property int index
                    visible: index > 0
                    x: seekTrack.width * Math.min(1, modelData.startUs / Player.durationUs) - 1
                    width: 2
                    height: seekTrack.height
                    color: "#0a0b0d"
                    border.width: 0

                    Rectangle {
                        x: 0.5
                        width: 1
                        height: parent.height
                        color: "#9ca3af"
                    }
                }
            }
        }

        Rectangle {
            objectName: "playhead"
            x: seekProgress.width - 6
            anchors.verticalCenter: parent.verticalCenter
            width: 12
            height: 12
            radius: 6
            color: "#ff7a45"
            visible: typeof Player !== "undefined" && Player.hasMedia && Player.durationUs > 0
        }

        MouseArea {
            id: seekMouse
            objectName: "seekMouse"
            anchors.fill: parent
            hoverEnabled: true
            preventStealing: true
            acceptedButtons: Qt.LeftButton
            enabled: typeof Player !== "undefined" && Player.hasMedia && Player.durationUs > 0
            cursorShape: enabled ? Qt.PointingHandCursor : Qt.ArrowCursor

            function clampFraction(x) {
                return Math.max(0, Math.min(1, x / Math.max(1, width)))
            }

            onPressed: mouse => {
                seekArea.scrubbing = true
                seekArea.scrubFraction = clampFraction(mouse.x)
            }
            onPositionChanged: mouse => {
                if (seekArea.scrubbing)
                    seekArea.scrubFraction = clampFraction(mouse.x)
                host.pokeControls()
            }
            onReleased: mouse => {
                if (!seekArea.scrubbing)
                    return
                const f = clampFraction(mouse.x)
                seekArea.scrubFraction = f
                if (typeof Player !== "undefined")
                    Player.seekFraction(f)
                seekArea.scrubbing = false
            }
            onCanceled: seekArea.scrubbing = false
        }

        Rectangle {
            id: hoverTip
            objectName: "hoverTip"
            readonly property real frac: seekMouse.clampFraction(seekMouse.mouseX)
            readonly property real tipUs: typeof Player !== "undefined" ? frac * Player.durationUs : 0
            // The last chapter, in list order, that starts at or before the pointer's time.
            readonly property string chapterName: {
                if (typeof Player === "undefined")
                    return ""
                let name = ""
                const chapters = Player.chapters
                for (let i = 0; i < chapters.length; ++i) {
                    if (chapters[i].startUs <= tipUs)
                        name = chapters[i].title
                }
                return name
            }

            visible: seekMouse.containsMouse && typeof Player !== "undefined" && Player.durationUs > 0
            width: tipText.implicitWidth + 12
            height: tipText.implicitHeight + 6
            x: Math.max(0, Math.min(seekArea.width - width, seekMouse.mouseX - width / 2))
            y: -height - 6
            radius: 3
            color: "#2a2d33"
            border.color: "#3a3d44"
            border.width: 1

            Text {
                id: tipText
                anchors.centerIn: parent
                color: "#e8eaed"
                font.family: "JetBrains Mono"
                font.pixelSize: 10
                // Chapter titles come from the media file.
                textFormat: Text.PlainText
                text: host.fmtTime(hoverTip.tipUs)
                      + (hoverTip.chapterName !== "" ? "  ·  " + hoverTip.chapterName : "")
            }
        }
    }

    Item {
        id: bottomRow
        objectName: "bottomRow"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.leftMargin: 16
        anchors.rightMargin: 12
        anchors.bottomMargin: 6
        height: 36

        Text {
            id: timeLabel
            objectName: "timeLabel"
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            color: "#9ca3af"
            font.family: "JetBrains Mono"
            font.pixelSize: 11
            text: {
                const loaded = typeof Player !== "undefined" && (Player.hasMedia || Player.isOpening)
                const clock = host.fmtTime(loaded ? Player.clockUs : 0)
                if (transportBar.compact >= 3)
                    return clock
                if (!loaded)
                    return "0:00:00  /  0:00:00"
                return clock + "  /  "
                       + (Player.durationUs > 0 ? host.fmtTime(Player.durationUs) : qsTr("live"))
            }
        }

        Row {
            id: transportRow
            objectName: "transportRow"
            anchors.verticalCenter: parent.verticalCenter
            spacing: 6
            // Centred while that keeps 12 px clear of the tools, never closer than 12 px to the
            // time display.
            x: Math.max(timeLabel.width + 12,
                        Math.min((bottomRow.width - width) / 2, toolsRow.x - width - 12))

            TransportButton {
                objectName: "previousButton"
                tip: qsTr("Previous (PgUp)")
                onClicked: Actions.trigger("playlist.previous")

                Row {
                    anchors.centerIn: parent
                    spacing: 1
                    Rectangle { width: 2; height: 12; color: "#9ca3af" }
                    Triangle { width: 10; height: 12; points: [[10, 0], [0, 6], [10, 12]] }
                }
            }

            TransportButton {
                id: playBtn
                objectName: "playButton"
                readonly property bool isPlaying: typeof Player !== "undefined"
                                                  && Player.state === MediaSessionBridge.Playing
                width: 36
                height: 36
                restColor: "#ff5b22"
                hoverColor: "#ff7a45"
                onClicked: Actions.trigger("playback.toggle")

                Triangle {
                    anchors.centerIn: parent
                    visible: !playBtn.isPlaying
                    width: 14
                    height: 16
                    fill: "white"
                    points: [[0, 0], [14, 8], [0, 16]]
                }
                Row {
                    anchors.centerIn: parent
                    visible: playBtn.isPlaying
                    spacing: 5
                    Rectangle { width: 4; height: 14; color: "white" }
                    Rectangle { width: 4; height: 14; color: "white" }
                }
            }

            TransportButton {
                objectName: "nextButton"
                tip: qsTr("Next (PgDn)")
                onClicked: Actions.trigger("playlist.next")

                Row {
                    anchors.centerIn: parent
                    spacing: 1
                    Triangle { width: 10; height: 12; points: [[0, 0], [10, 6], [0, 12]] }
                    Rectangle { width: 2; height: 12; color: "#9ca3af" }
                }
            }

            TransportButton {
                objectName: "stopButton"
                visible: transportBar.compact < 4
                tip: qsTr("Stop (Ctrl+W)")
                onClicked: Actions.trigger("playback.stop")

                Rectangle {
                    anchors.centerIn: parent
                    width: 12
                    height: 12
                    radius: 1
                    color: "#9ca3af"
                }
            }

            TransportButton {
                objectName: "repeatButton"
                readonly property int mode: typeof Player !== "undefined" ? Player.repeatMode : 0
                visible: transportBar.compact < 3
                tip: mode === 1 ? qsTr("Repeat one (R)") : mode === 2 ? qsTr("Repeat all (R)")
                                                                   : qsTr("Repeat off (R)")
                // The player stores the mode and announces it.
                onClicked: Player.repeatMode = (Player.repeatMode + 1) % 3

                Image {
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    source: "icons/repeat.svg"
                    sourceSize: Qt.size(32, 32)
                    opacity: parent.mode > 0 ? 1 : 0.45
                }
                Text {
                    objectName: "repeatOneBadge"
                    anchors.right: parent.right
                    anchors.bottom: parent.bottom
                    anchors.rightMargin: 4
                    anchors.bottomMargin: 3
                    visible: parent.mode === 1
                    text: "1"
                    color: "#ff7a45"
                    font.pixelSize: 9
                    font.weight: Font.Bold
                }
            }

            TransportButton {
                objectName: "shuffleButton"
                readonly property bool active: typeof Player !== "undefined" && Player.shuffle
                visible: transportBar.compact < 3
                tip: active ? qsTr("Shuffle on") : qsTr("Shuffle off")
                onClicked: Player.shuffle = !Player.shuffle

                Image {
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    source: "icons/shuffle.svg"
                    sourceSize: Qt.size(32, 32)
                    opacity: parent.active ? 1 : 0.45
                }
            }
        }

        Row {
            id: toolsRow
            objectName: "toolsRow"
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            spacing: 4

            ToolsButton {
                id: subsButton
                objectName: "subsButton"
                anchors.verticalCenter: parent.verticalCenter
                width: 30
                visible: transportBar.compact < 2
                tip: qsTr("Subtitles (V)")
                ToolTip.visible: containsMouse && !subsMenu.opened
                onClicked: subsMenu.popup(subsButton, 0, -subsMenu.implicitHeight)

                Rectangle {
                    readonly property color tone: host.hasPlayer && Player.currentSubtitleTrack >= 0
                                                  ? "#ff7a45" : "#9ca3af"
                    objectName: "ccBadge"
                    anchors.centerIn: parent
                    width: 20
                    height: 14
                    radius: 2
                    color: "transparent"
                    border.width: 1.5
                    border.color: tone

                    Text {
                        anchors.centerIn: parent
                        text: "CC"
                        color: parent.tone
                        font.family: "Segoe UI"
                        font.pixelSize: 8
                        font.bold: true
                    }
                }

                // Lives in the button, so it is there while the button is hidden.
                SubtitleTrackMenu {
                    id: subsMenu
                    objectName: "subsMenu"
                    host: transportBar.host
                    // Entries made while it was closed are measured only as it shows: it keeps
                    // its bottom on the button as its height settles.
                    onImplicitHeightChanged: if (visible) y = -implicitHeight
                }
            }

            ToolsButton {
                id: speedButton
                objectName: "speedButton"
                anchors.verticalCenter: parent.verticalCenter
                width: 40
                visible: transportBar.compact < 2
                tip: qsTr("Playback speed ([ / ])")
                ToolTip.visible: containsMouse && !speedMenu.opened
                onClicked: speedMenu.popup(speedButton, 0, -speedMenu.implicitHeight)

                Text {
                    objectName: "speedLabel"
                    anchors.centerIn: parent
                    text: (host.hasPlayer ? Math.round(Player.speed * 100) / 100 : 1) + "×"
                    color: host.hasPlayer && Math.abs(Player.speed - 1) > 0.001 ? "#ff7a45"
                                                                              : "#9ca3af"
                    font.family: "JetBrains Mono"
                    font.pixelSize: 11
                }

                SpeedMenu {
                    id: speedMenu
                    objectName: "speedMenu"
                    host: transportBar.host
                    // Entries made while it was closed are measured only as it shows: it keeps
                    // its bottom on the button as its height settles.
                    onImplicitHeightChanged: if (visible) y = -implicitHeight
                }
            }

            ToolsButton {
                id: muteButton
                objectName: "muteButton"
                anchors.verticalCenter: parent.verticalCenter
                tip: host.hasPlayer && !Player.casting && Player.muted ? qsTr("Unmute (M)")
                                                                      : qsTr("Mute (M)")
                onClicked: host.toggleMute()

                Canvas {
                    id: speakerIcon
                    objectName: "speakerIcon"
                    // While casting the volume is the receiver's, and the local mute says nothing.
                    readonly property bool silent: host.hasPlayer
                                                   && ((!Player.casting && Player.muted)
                                                       || Player.volume < 0.001)
                    anchors.centerIn: parent
                    width: 18
                    height: 14
                    // Only a flip between sound and silence changes the drawing.
                    onSilentChanged: requestPaint()
                    onPaint: {
                        const ctx = getContext("2d")
                        ctx.reset()
                        ctx.strokeStyle = "#9ca3af"
                        ctx.fillStyle = "#9ca3af"
                        ctx.lineWidth = 1.5
                        ctx.beginPath()
                        ctx.moveTo(0, 5)
                        ctx.lineTo(4, 5)
                        ctx.lineTo(8, 1)
                        ctx.lineTo(8, 13)
                        ctx.lineTo(4, 9)
                        ctx.lineTo(0, 9)
                        ctx.closePath()
                        ctx.fill()
                        if (silent) {
                            ctx.strokeStyle = "#ff7a45"
                            ctx.beginPath()
                            ctx.moveTo(11, 4)
                            ctx.lineTo(17, 10)
                            ctx.stroke()
                            ctx.beginPath()
                            ctx.moveTo(17, 4)
                            ctx.lineTo(11, 10)
                            ctx.stroke()
                        } else {
                            for (const r of [4, 7]) {
                                ctx.beginPath()
                                ctx.arc(8, 7, r, -0.6, 0.6)
                                ctx.stroke()
                            }
                        }
                    }
                }
            }

            // The control sets value itself while dragged, which would drop a plain binding on
            // it; this one only stands down under the pressed handle and leaves the dragged value
            // in place until the player's own comes back on release.
            Binding {
                target: volSlider
                property: "value"
                value: typeof Player !== "undefined" ? Player.volume * 100 : 80
                when: !volSlider.pressed
                restoreMode: Binding.RestoreNone
            }

            BasicControls.Slider {
                id: volSlider
                objectName: "volSlider"
                anchors.verticalCenter: parent.verticalCenter
                visible: transportBar.compact < 1
                implicitWidth: transportBar.width < 760 ? 56 : 90
                from: 0
                to: 100
                live: true
                ToolTip.visible: hovered || pressed
                ToolTip.delay: 300
                ToolTip.text: Math.round(value) + "%"
                onMoved: {
                    if (typeof Player !== "undefined")
                        Player.volume = value / 100
                }

                background: Rectangle {
                    x: volSlider.leftPadding
                    y: volSlider.topPadding + volSlider.availableHeight / 2 - height / 2
                    width: volSlider.availableWidth
                    height: 4
                    radius: 2
                    color: "#1c1f26"

                    Rectangle {
                        width: volSlider.visualPosition * parent.width
                        height: parent.height
                        radius: 2
                        color: "#9ca3af"
                    }
                }

                handle: Rectangle {
                    x: volSlider.leftPadding + volSlider.visualPosition * (volSlider.availableWidth - 10)
                    y: volSlider.topPadding + volSlider.availableHeight / 2 - height / 2
                    width: 10
                    height: 10
                    radius: 5
                    color: volSlider.pressed ? "#ff7a45" : "#e8eaed"
                }

                // One step per event, whatever its size; anything but a turn upwards lowers.
                WheelHandler {
                    onWheel: event => host.changeVolume(event.angleDelta.y > 0 ? 0.05 : -0.05)
                }
            }

            CastButton {
                id: castBtn
                objectName: "castButton"
                anchors.verticalCenter: parent.verticalCenter
                // The centre controls come first: the name only where the bar is wide.
                nameRoom: !host.fs && transportBar.width > 900
                onClicked: castMenu.popup(castBtn, 0, -castMenu.implicitHeight)
            }

            ToolsButton {
                objectName: "playlistButton"
                anchors.verticalCenter: parent.verticalCenter
                visible: !host.fs
                tip: qsTr("Playlist (Ctrl+L)")
                onClicked: host.playlistVisible = !host.playlistVisible

                Image {
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    source: "icons/playlist.svg"
                    sourceSize: Qt.size(32, 32)
                    opacity: host.playlistVisible ? 1 : 0.5
                }
            }

            // No background: the hover brightens the brackets instead.
            Item {
                id: fsButton
                objectName: "fullScreenButton"
                anchors.verticalCenter: parent.verticalCenter
                readonly property string tip: host.fs ? qsTr("Leave fullscreen (Esc)")
                                                      : qsTr("Fullscreen (F11)")
                width: 28
                height: 28
                ToolTip.visible: fsMa.containsMouse
                ToolTip.delay: 600
                ToolTip.text: tip

                Item {
                    id: fsIcon
                    readonly property color iconColor: fsMa.containsMouse ? "#e8eaed" : "#9ca3af"
                    anchors.centerIn: parent
                    width: 18
                    height: 18

                    Repeater {
                        // Four corner brackets, two legs each: x, y, width, height.
                        model: [[0, 0, 6, 1.5], [0, 0, 1.5, 6], [12, 0, 6, 1.5], [16.5, 0, 1.5, 6],
                                [0, 16.5, 6, 1.5], [0, 12, 1.5, 6], [12, 16.5, 6, 1.5],
                                [16.5, 12, 1.5, 6]]
                        delegate: Rectangle {
                            required property var modelData
                            x: modelData[0]
                            y: modelData[1]
                            width: modelData[2]
                            height: modelData[3]
                            color: fsIcon.iconColor
                        }
                    }
                }

                MouseArea {
                    id: fsMa
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: host.toggleFullscreen()
                }
            }
        }
    }

    // A flat rounded button of the transport row: hover tint, pointing hand, tool tip after 600 ms.
    component TransportButton: Rectangle {
        id: button
        property string tip: ""
        property color restColor: "transparent"
        property color hoverColor: "#232730"
        readonly property alias containsMouse: area.containsMouse
        signal clicked()

        width: 32
        height: 32
        radius: 4
        color: area.containsMouse ? hoverColor : restColor
        ToolTip.visible: tip !== "" && area.containsMouse
        ToolTip.text: tip
        ToolTip.delay: 600

        MouseArea {
            id: area
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: button.clicked()
        }
    }

    // A flat button of the tools row: 28 x 28, otherwise like the transport buttons.
    component ToolsButton: TransportButton {
        width: 28
        height: 28
    }

    // A filled triangle glyph; the three points are in the canvas's own pixels.
    component Triangle: Canvas {
        property color fill: "#9ca3af"
        property var points: []
        onPaint: {
            const ctx = getContext("2d")
            ctx.fillStyle = fill
            ctx.beginPath()
            ctx.moveTo(points[0][0], points[0][1])
            ctx.lineTo(points[1][0], points[1][1])
            ctx.lineTo(points[2][0], points[2][1])
            ctx.closePath()
            ctx.fill()
        }
    }

    // Hangs from the cast button of the transport bar.
    CastMenu {
        id: castMenu
        objectName: "castMenu"
        // The window itself once made: the menu reads whether it shows as the window has just been asked to.
        receiversWindow: transportBar.host.windows.castWindow.item || transportBar.host.windows.castWindow
        typeNames: transportBar.host.castTypeNames
        // Receivers found while it is open make it taller: its bottom stays on the button.
        onImplicitHeightChanged: if (visible) y = castBtn.mapToItem(parent, 0, 0).y - implicitHeight
    }
}
