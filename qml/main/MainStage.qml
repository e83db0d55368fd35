import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Basic as BasicControls
import Kestrune.MediaPlayer

// The stage: the picture, or the audio view, or the idle screen, with what lies over them (the opening and
// pause marks, the state chip, the time badge, the performance overlay, the casting screen, the library
// browser and the on-screen message), the drop target and the stage's context menu.
Item {
    id: stage
    objectName: "stage"

    // The main window: its state, its commands and its other windows.
    required property var host
    // How far subtitles keep above the stage's bottom edge.
    property alias subtitleBottomInset: videoSink.subtitleBottomInset
    readonly property alias osd: osd
    readonly property alias libraryView: libraryView
    readonly property alias menu: stageMenu

    clip: true

    Rectangle {
        anchors.fill: parent
        color: "#000000"
    }

    VideoSink {
        id: videoSink
        objectName: "videoSink"
        anchors.fill: parent
        aspectOverride: host.aspectOverride
        fillMode: host.fillMode
        // Without the application (a component test), the sink shows nothing.
        bridge: typeof Player !== "undefined" ? Player : null
    }

    AudioView {
        id: audioView
        objectName: "audioView"
        anchors.fill: parent
    }

    // Only drags that carry a URI list get here; whatever they hold goes to the play queue as it is.
    DropArea {
        id: dropArea
        objectName: "dropArea"
        anchors.fill: parent
        z: 5
        keys: ["text/uri-list"]
        onEntered: drag => drag.accept()
        onDropped: drop => {
            if (!drop.hasUrls)
                return
            host.addUrls(drop.urls)
            drop.accept()
        }

        Rectangle {
            objectName: "dropHighlight"
            anchors.fill: parent
            color: "transparent"
            border.color: "#ff5b22"
            border.width: dropArea.containsDrag ? 3 : 0
            visible: dropArea.containsDrag
        }
    }

    // Beneath everything on the stage: what does not take the pointer lets it through to here.
    MouseArea {
        id: stageMouse
        objectName: "stageMouse"
        anchors.fill: parent
        z: -1
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        hoverEnabled: true
        cursorShape: host.fs && !host.controlsShown ? Qt.BlankCursor : Qt.ArrowCursor

        // In window coordinates: Qt Quick replays the resting pointer whenever the picture changes,
        // and the stage may move under it; neither is activity.
        property point lastScenePos: Qt.point(-1, -1)
        readonly property alias clickInterval: clickTimer.interval

        onPositionChanged: mouse => {
            const p = mapToItem(null, mouse.x, mouse.y)
            if (p.x === lastScenePos.x && p.y === lastScenePos.y)
                return
            lastScenePos = p
            host.pokeControls()
        }
        // A single click takes effect only once it cannot become a double-click any more.
        onClicked: mouse => {
            if (mouse.button === Qt.LeftButton)
                clickTimer.restart()
            else if (mouse.button === Qt.RightButton)
                stageMenu.popup(stageMouse, mouse.x, mouse.y)
        }
        onDoubleClicked: mouse => {
            if (mouse.button !== Qt.LeftButton)
                return
            clickTimer.stop()
            host.toggleFullscreen()
        }
        // One step per event, whatever its size; anything but a turn upwards lowers.
        onWheel: wheel => host.changeVolume(wheel.angleDelta.y > 0 ? 0.05 : -0.05)

        Timer {
            id: clickTimer
            objectName: "clickTimer"
            interval: Qt.styleHints.mouseDoubleClickInterval
            onTriggered: Actions.trigger("playback.toggle")
        }
    }

    IdleScreen {
        objectName: "idleScreen"
        anchors.centerIn: parent
        stageWidth: stage.width
        stageHeight: stage.height
    }

    Column {
        objectName: "openingIndicator"
        anchors.centerIn: parent
        spacing: 10
        visible: typeof Player !== "undefined" && Player.isOpening

        BasicControls.BusyIndicator {
            objectName: "busyIndicator"
            anchors.horizontalCenter: parent.horizontalCenter
            width: 40
            height: 40
            running: parent.visible
            // The style draws its dots in the palette's dark role, which on this window is nearly
            // the stage's black.
            palette.dark: "#9ca3af"
        }
        // A file by its name, a stream by its whole URL; either comes from outside.
        Text {
            objectName: "openingText"
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("Opening %1…").arg(host.basename(typeof Player !== "undefined" ? Player.currentFile : ""))
            textFormat: Text.PlainText
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }
    }

    // Over a paused picture only; audio has its own view.
    Rectangle {
        objectName: "pauseGlyph"
        anchors.centerIn: parent
        width: 96
        height: 96
        radius: width / 2
        color: "#a0000000"
        border.color: "#ff5b22"
        border.width: 2
        opacity: 0.85
        visible: typeof Player !== "undefined" && Player.state === MediaSessionBridge.Paused
                 && Player.hasVideo

        Row {
            anchors.centerIn: parent
            spacing: 8
            Rectangle { width: 8; height: 32; color: "#e8eaed"; anchors.verticalCenter: parent.verticalCenter }
            Rectangle { width: 8; height: 32; color: "#e8eaed"; anchors.verticalCenter: parent.verticalCenter }
        }
    }

    StateChip {
        objectName: "stateChip"
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.topMargin: 14
        anchors.leftMargin: 14
        controlsShown: host.controlsShown
    }

    // In full screen the transport bar floats over the stage's bottom: the overlay stays above it.
    PerformanceOverlay {
        id: hudPanel
        objectName: "hudPanel"
        anchors.bottom: parent.bottom
        anchors.left: parent.left
        anchors.bottomMargin: host.fs ? 90 : 14
        anchors.leftMargin: 14
    }

    TimecodeBadge {
        objectName: "timecodeBadge"
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 14
        anchors.rightMargin: 14
        host: stage.host
    }

    // Over the picture and every overlay above but the library browser and the on-screen message.
    CastingScreen {
        objectName: "castingScreen"
        anchors.fill: parent
        z: 14
        host: stage.host
        onDiagnosticsRequested: stage.host.windows.castWindow.openWindow()
    }

    // Over the picture and the casting screen, under the on-screen message; never in full screen.
    LibraryView {
        id: libraryView
        objectName: "libraryView"
        // The sidebar entry whose view this shows, highlighted again when the browser comes back.
        property string currentKey: "tracks"
        anchors.fill: parent
        z: 15
        visible: host.showLibrary && !host.fs
        onPlayedVideo: host.showLibraryView(false)
        onEditRequested: ids => host.windows.libraryEdit.openFor(ids)
        onConvertRequested: uris => host.windows.convertDialog.openWith(uris)
        onManageFolders: host.windows.librarySettings.openWindow()
    }

    OnScreenMessage {
        id: osd
        objectName: "osd"
        anchors.top: parent.top
        anchors.topMargin: 14
        anchors.horizontalCenter: parent.horizontalCenter
        z: 20
        stageWidth: stage.width
    }

    // The stage's context menu: what the menu bar offers most often, also in full screen where the bar is gone.
    AppMenu {
        id: stageMenu
        objectName: "stageMenu"

        Action {
            text: host.hasPlayer && Player.state === MediaSessionBridge.Playing ? qsTr("Pause\tSpace")
                                                                                  : qsTr("Play\tSpace")
            enabled: host.hasPlayer && (Player.hasMedia || Player.playlistCount > 0)
            onTriggered: Actions.trigger("playback.toggle")
        }
        Action {
            text: qsTr("Stop")
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: Actions.trigger("playback.stop")
        }
        Action {
            text: qsTr("Previous\tPgUp")
            enabled: host.hasPlayer && Player.playlistCount > 0
            onTriggered: Actions.trigger("playlist.previous")
        }
        Action {
            text: qsTr("Next\tPgDn")
            enabled: host.hasPlayer && Player.playlistCount > 1
            onTriggered: Actions.trigger("playlist.next")
        }
        MenuSep {}
        AudioTrackMenu {}
        SubtitleTrackMenu {
            host: stage.host
        }
        SpeedMenu {
            host: stage.host
        }
        AspectMenu {
            host: stage.host
        }
        MenuSep {}
        Action {
            text: host.fs ? qsTr("Leave Fullscreen\tEsc") : qsTr("Fullscreen\tF11")
            onTriggered: host.toggleFullscreen()
        }
        SelAction {
            text: qsTr("Always on Top\tCtrl+T")
            selected: host.alwaysOnTop
            onTriggered: host.alwaysOnTop = !host.alwaysOnTop
        }
        Action {
            text: qsTr("Take Snapshot\tShift+S")
            enabled: host.hasPlayer && Player.hasVideo
            onTriggered: Player.saveSnapshot()
        }
        Action {
            text: qsTr("Media Information...\tCtrl+I")
            enabled: host.hasPlayer && Player.hasMedia
            onTriggered: host.windows.infoDialog.open()
        }
        MenuSep {}
        Action {
            text: qsTr("Open Files...\tCtrl+O")
            onTriggered: host.windows.openDialog.open()
        }
    }

    // The services' short messages all end in the one on-screen message. Without the program's services (a
    // component test) there is nothing to listen to.
    Connections {
        target: typeof Cast !== "undefined" ? Cast : null
        function onNotice(text) {
            osd.show(text)
        }
    }

    Connections {
        target: typeof Library !== "undefined" ? Library : null
        function onNotice(text) {
            osd.show(text)
        }
    }
}
