import QtQuick
import Kestrune.MediaPlayer

// What the stage shows for media without a picture: the cover with the tags, or a visualiser with a caption.
// Tags come from the file and are shown as plain text.
Item {
    id: audioView

    readonly property bool hasPlayer: typeof Player !== "undefined"
    // 0 shows the cover view, 1 to 4 the visualiser in that mode. Automatic picks the cover when there is one;
    // Cover Art Only keeps the cover view even without a cover (the placeholder then shows).
    readonly property int vizMode: {
        if (!hasPlayer)
            return 0
        const choice = Player.visualization
        if (choice === 0)
            return Player.coverArtUrl !== "" ? 0 : 1
        if (choice === 5)
            return 0
        return choice
    }
    // Artist and album, whichever are present, joined without a dangling separator.
    readonly property string artistAlbum: hasPlayer
        ? [Player.mediaArtist, Player.mediaAlbum].filter(s => s !== "").join("  ·  ") : ""

    visible: hasPlayer && Player.hasMedia && !Player.hasVideo

    Visualizer {
        objectName: "visualizer"
        anchors.fill: parent
        anchors.leftMargin: 40
        anchors.topMargin: 40
        anchors.rightMargin: 40
        anchors.bottomMargin: 110
        visible: audioView.vizMode > 0
        bridge: audioView.hasPlayer ? Player : null
        mode: Math.max(1, audioView.vizMode)
        // Samples only while something plays and can be seen.
        running: audioView.vizMode > 0 && audioView.visible && audioView.hasPlayer
                 && Player.state === MediaSessionBridge.Playing
    }

    Column {
        objectName: "vizCaption"
        anchors.left: parent.left
        anchors.bottom: parent.bottom
        anchors.leftMargin: 40
        anchors.bottomMargin: 30
        spacing: 4
        visible: audioView.vizMode > 0

        Text {
            objectName: "captionTitle"
            text: audioView.hasPlayer ? Player.mediaTitle : ""
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 20
            font.weight: Font.DemiBold
        }
        Text {
            objectName: "captionLine"
            text: audioView.artistAlbum
            textFormat: Text.PlainText
            color: "#ff7a45"
            font.family: "Segoe UI"
            font.pixelSize: 13
        }
    }

    Row {
        objectName: "coverView"
        anchors.centerIn: parent
        spacing: 28
        visible: audioView.vizMode === 0

        Rectangle {
            id: artFrame
            objectName: "artFrame"
            anchors.verticalCenter: parent.verticalCenter
            width: Math.min(260, audioView.height / 2)
            height: width
            radius: 6
            color: "#16181d"
            border.color: "#2c3038"
            border.width: 1

            // Decoded off the GUI thread: a large embedded picture must not stall the window.
            Image {
                objectName: "coverImage"
                anchors.fill: parent
                anchors.margins: 1
                source: audioView.hasPlayer ? Player.coverArtUrl : ""
                visible: source.toString() !== ""
                fillMode: Image.PreserveAspectFit
                asynchronous: true
                smooth: true
            }

            Image {
                objectName: "coverPlaceholder"
                anchors.centerIn: parent
                width: artFrame.width * 0.4
                height: width
                source: "icons/music.svg"
                sourceSize: Qt.size(128, 128)
                visible: !audioView.hasPlayer || Player.coverArtUrl === ""
                opacity: 0.5
            }
        }

        Column {
            objectName: "tagColumn"
            anchors.verticalCenter: parent.verticalCenter
            spacing: 6
            width: Math.min(420, audioView.width * 0.45)

            Text {
                objectName: "tagTitle"
                width: parent.width
                text: audioView.hasPlayer ? Player.mediaTitle : ""
                textFormat: Text.PlainText
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 22
                font.weight: Font.DemiBold
                wrapMode: Text.WordWrap
                maximumLineCount: 3
                elide: Text.ElideRight
            }
            Text {
                objectName: "tagArtist"
                width: parent.width
                text: audioView.hasPlayer ? Player.mediaArtist : ""
                textFormat: Text.PlainText
                visible: text !== ""
                color: "#ff7a45"
                font.family: "Segoe UI"
                font.pixelSize: 15
                elide: Text.ElideRight
            }
            Text {
                objectName: "tagAlbum"
                width: parent.width
                text: audioView.hasPlayer ? Player.mediaAlbum : ""
                textFormat: Text.PlainText
                visible: text !== ""
                color: "#9ca3af"
                font.family: "Segoe UI"
                font.pixelSize: 13
                elide: Text.ElideRight
            }
        }
    }
}
