import QtQuick
import Kestrune.MediaPlayer

// The stage while nothing is loaded: the application's mark, its name and a hint, or the reason the last
// open failed.
Column {
    id: idle

    // The stage's size; the mark grows with its height and the hint is cut 40 px short of its width.
    property real stageWidth: 0
    property real stageHeight: 0
    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property bool failed: hasPlayer && Player.state === MediaSessionBridge.Error

    spacing: 14
    visible: !hasPlayer || (!Player.hasMedia && !Player.isOpening)

    Image {
        objectName: "appMark"
        anchors.horizontalCenter: parent.horizontalCenter
        width: Math.round(Math.max(72, Math.min(128, idle.stageHeight * 0.2)))
        height: width
        source: "qrc:/icons/app.png"
        sourceSize: Qt.size(256, 256)
        smooth: true
        mipmap: true
    }

    // The product name is not translated.
    Text {
        objectName: "appName"
        anchors.horizontalCenter: parent.horizontalCenter
        text: "KESTRUNE MEDIA PLAYER"
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 22
        font.weight: Font.DemiBold
        font.letterSpacing: 2.4
    }

    // The error text comes from outside (it may quote a file's own words): plain text only.
    Text {
        objectName: "idleHint"
        anchors.horizontalCenter: parent.horizontalCenter
        width: Math.min(implicitWidth, idle.stageWidth - 40)
        horizontalAlignment: Text.AlignHCenter
        elide: Text.ElideRight
        textFormat: Text.PlainText
        text: idle.failed ? Player.lastError : qsTr("Drop files or a folder here, or press Ctrl+O")
        color: idle.failed ? "#ff7a45" : "#5f646d"
        font.family: "Segoe UI"
        font.pixelSize: 11
        font.letterSpacing: 0.5
    }
}
