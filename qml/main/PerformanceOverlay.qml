import QtQuick

// The performance overlay: what Hud measures and how the current video is decoded. Hud.toggle() shows it.
Rectangle {
    id: hudPanel

    readonly property bool hasHud: typeof Hud !== "undefined"
    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property bool hwDecode: hasPlayer && Player.usesHwDecode

    // Bytes as whole mebibytes, rounded half up as toFixed does.
    function fmtMb(b) {
        return (b / 1048576).toFixed(0) + " MB"
    }

    visible: hasHud && Hud.visible
    color: "#c0000000"
    border.color: "#ff5b22"
    border.width: 1
    radius: 4
    width: hudCol.width + 16
    height: hudCol.height + 12

    Column {
        id: hudCol
        x: 8
        y: 6
        spacing: 2

        Text {
            text: "PERFORMANCE"
            color: "#ff7a45"
            font.family: "JetBrains Mono"
            font.pixelSize: 9
            font.weight: Font.DemiBold
            font.letterSpacing: 1.0
        }
        Text {
            objectName: "hudFps"
            text: hudPanel.hasHud ? "fps  " + Hud.fps.toFixed(1) + "  ·  " + Hud.frameTimeMs.toFixed(2) + " ms" : ""
            color: "#e8eaed"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
        }
        Text {
            objectName: "hudCpu"
            text: hudPanel.hasHud ? "cpu  " + Hud.cpuPercent.toFixed(1) + " %" : ""
            color: "#e8eaed"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
        }
        Text {
            objectName: "hudRss"
            text: hudPanel.hasHud ? "rss  " + hudPanel.fmtMb(Hud.rssBytes) : ""
            color: "#e8eaed"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
        }
        Text {
            objectName: "hudDecode"
            text: hudPanel.hasPlayer && Player.hasVideo ? (Player.usesHwDecode ? "decode  HW · VA-API" : "decode  SW")
                                                        : "decode  -"
            color: hudPanel.hwDecode ? "#ff7a45" : "#9ca3af"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
        }
    }
}
