import QtQuick
import Kestrune.MediaPlayer

// The small label at the stage's top left: what the player is doing and, off normal speed, how fast.
Rectangle {
    id: chip

    // The window's controls are showing; the chip hides with them in full screen.
    property bool controlsShown: true
    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property int playerState: hasPlayer ? Player.state : MediaSessionBridge.Idle
    readonly property string label: hasPlayer ? labelFor(Player.state, Player.speed) : ""

    // The state word, then the speed in its shortest decimal form when it is not 1.
    function labelFor(state, speed) {
        let word
        switch (state) {
        case MediaSessionBridge.Playing: word = qsTr("PLAYING"); break
        case MediaSessionBridge.Paused: word = qsTr("PAUSED"); break
        case MediaSessionBridge.Prepared: word = qsTr("READY"); break
        case MediaSessionBridge.Ending: word = qsTr("ENDING"); break
        default: word = qsTr("STOPPED")
        }
        if (Math.abs(speed - 1) > 0.001)
            word += "  ·  " + String(speed) + "×"
        return word
    }

    visible: hasPlayer && Player.hasMedia && controlsShown
    color: "#a0000000"
    border.width: 1
    border.color: playerState === MediaSessionBridge.Playing ? "#55ff5b22" : "#14ffffff"
    radius: 4
    height: 22
    width: stateRow.width + 16

    Row {
        id: stateRow
        anchors.centerIn: parent
        spacing: 8

        Rectangle {
            objectName: "stateDot"
            anchors.verticalCenter: parent.verticalCenter
            width: 6
            height: 6
            radius: 3
            color: chip.playerState === MediaSessionBridge.Playing ? "#ff5b22"
                 : chip.playerState === MediaSessionBridge.Paused ? "#fbbf24" : "#5f646d"
        }
        Text {
            objectName: "stateLabel"
            anchors.verticalCenter: parent.verticalCenter
            text: chip.label
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
            font.letterSpacing: 0.5
        }
    }
}
