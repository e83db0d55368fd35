import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One field for a stream address. The player decides what the address is; this only trims it.
DarkDialog {
    id: dialog

    title: qsTr("Open Network Stream")
    standardButtons: Dialog.Open | Dialog.Cancel
    width: 520

    // Every opening starts empty, with the focus in the field.
    onAboutToShow: {
        urlField.text = ""
        urlField.forceActiveFocus()
    }

    onAccepted: {
        const url = urlField.text.trim()
        if (url.length > 0 && typeof Player !== "undefined" && Player)
            Player.openUrl(url)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        Label {
            text: qsTr("Address (http, https, rtsp, rtmp, udp, srt, …)")
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }

        TextField {
            id: urlField
            objectName: "urlField"
            Layout.fillWidth: true
            focus: true
            selectByMouse: true
            placeholderText: "https://example.com/live/stream.m3u8"
            color: "#e8eaed"
            font.family: "Segoe UI"
            background: Rectangle {
                implicitHeight: 28
                radius: 3
                color: "#1c1f26"
                border.color: urlField.activeFocus ? "#ff5b22" : "#3a3d44"
            }
            // Return in the field opens, as the Open button does.
            onAccepted: dialog.accept()
        }
    }
}
