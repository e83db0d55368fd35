import QtQuick

// The strip under the header that shows a failed action's message for a few seconds.
Rectangle {
    id: strip

    property string message: ""

    objectName: "libraryError"
    visible: false
    color: "#3a1d1d"

    function show(text) {
        message = text
        visible = true
        errorTimer.restart()
    }

    Timer {
        id: errorTimer
        interval: 8000
        onTriggered: strip.visible = false
    }

    Text {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        text: strip.message
        textFormat: Text.PlainText
        elide: Text.ElideRight
        color: "#fca5a5"
        font.pixelSize: 11
    }
}
