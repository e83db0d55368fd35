import QtQuick

// The strip under the transport bar: what is open (name, picture size, frame rate) and the F1 hint. Gone in
// full screen.
Rectangle {
    id: statusBar
    objectName: "statusBar"

    // The main window: its full-screen state and its basename().
    required property var host

    readonly property bool hasPlayer: typeof Player !== "undefined"

    implicitHeight: host.fs ? 0 : 22
    visible: !host.fs
    color: "#0e0f13"

    // Name, then the picture's size and rate when there is a picture; a rate of 0 is unknown. A whole rate
    // has no decimals, any other exactly three.
    function summary(file, hasVideo, width, height, fps) {
        if (file === "")
            return qsTr("No media")
        let line = host.basename(file)
        if (hasVideo) {
            line += "   ·   " + width + "×" + height
            if (fps > 0)
                line += "   ·   " + (Number.isInteger(fps) ? String(fps) : fps.toFixed(3)) + " fps"
        }
        return line
    }

    Rectangle {
        width: parent.width
        height: 1
        color: "#22252c"
    }

    // Anchored rather than a nested layout: Qt 6.4 left the main column unarranged after full screen with
    // one in here.
    Text {
        id: summaryText
        objectName: "statusSummary"
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.right: hintText.left
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        elide: Text.ElideMiddle
        textFormat: Text.PlainText
        color: "#9ca3af"
        font.family: "JetBrains Mono"
        font.pixelSize: 10
        // File names and stream URLs come from outside: plain text.
        text: statusBar.hasPlayer ? statusBar.summary(Player.currentFile, Player.hasVideo, Player.displayWidth,
                                                      Player.displayHeight, Player.videoFps)
                                  : qsTr("No media")
    }

    Text {
        id: hintText
        objectName: "statusHint"
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        color: "#5f646d"
        font.family: "JetBrains Mono"
        font.pixelSize: 10
        text: qsTr("F1: keyboard shortcuts")
    }
}
