import QtQuick

// The window's one transient message: fades in at once, stays until 1.8 s after the last show, fades out.
// Messages quote file names, tags and receivers' words, so they are plain text.
Rectangle {
    id: osd

    // The stage's width: the box leaves 20 px free on each side of it.
    property real stageWidth: 0

    function show(text) {
        osdText.text = text
        opacity = 1
        osdTimer.restart()
    }

    width: Math.min(osdText.implicitWidth + 28, stageWidth - 40)
    height: osdText.implicitHeight + 14
    color: "#c0000000"
    border.color: "#1affffff"
    border.width: 1
    radius: 4
    opacity: 0
    visible: opacity > 0

    Behavior on opacity {
        NumberAnimation { duration: 180 }
    }

    Text {
        id: osdText
        objectName: "osdText"
        anchors.centerIn: parent
        width: osd.width - 28
        horizontalAlignment: Text.AlignHCenter
        textFormat: Text.PlainText
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 14
        elide: Text.ElideMiddle
    }

    Timer {
        id: osdTimer
        objectName: "osdTimer"
        interval: 1800
        onTriggered: osd.opacity = 0
    }

    // The player's own announcements ("Speed 1.5×", "End of playlist", ...).
    Connections {
        target: typeof Player !== "undefined" ? Player : null
        function onOsd(text) { osd.show(text) }
    }
}
