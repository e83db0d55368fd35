import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import "Formats.js" as Formats

// What the player knows of the open item: general facts, one card per stream and the container's tags.
// A snapshot taken each time the dialog is about to show; it does not follow the player while open.
DarkDialog {
    id: dialog

    property var info: ({})

    readonly property bool hasPath: !!info.path
    readonly property var facts: hasPath ? [
        [qsTr("Location"), info.path],
        [qsTr("Format"), info.container || ""],
        [qsTr("Duration"), fmtDuration(info.durationUs)],
        [qsTr("Size"), fmtSize(info.fileSize)],
        [qsTr("Overall bit rate"),
         info.bitRate > 0 ? qsTr("%1 kb/s").arg(Math.round(info.bitRate / 1000)) : qsTr("unknown")],
        [qsTr("Video decoding"), info.decoder || "—"],
    ] : []
    readonly property var tracks: hasPath && info.tracks ? info.tracks : []
    readonly property var tags: hasPath && info.tags ? info.tags : []

    function refresh() {
        info = typeof Player !== "undefined" && Player ? Player.mediaInfo() : ({})
    }

    function fmtDuration(us) {
        return Formats.fmtDuration(us)
    }

    function fmtSize(b) {
        return Formats.fmtSize(b)
    }

    title: qsTr("Media Information")
    standardButtons: Dialog.Close
    width: parent ? Math.min(parent.width - 80, 640) : 640
    height: parent ? Math.min(parent.height - 80, 560) : 560

    onAboutToShow: refresh()

    ScrollView {
        id: scroll
        objectName: "infoScroll"
        anchors.fill: parent
        clip: true
        contentWidth: availableWidth
        // The whole column, its last card too, however its wrapped lines settle.
        contentHeight: content.implicitHeight
        // Shown whenever there is more below, not only while scrolling: a list that looks whole is read as whole.
        ScrollBar.vertical.policy: contentHeight > availableHeight ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded

        ColumnLayout {
            id: content
            width: scroll.availableWidth
            spacing: 14

            Label {
                objectName: "nothingPlaying"
                visible: !dialog.hasPath
                text: qsTr("Nothing is playing.")
                color: "#9ca3af"
                font.family: "Segoe UI"
            }

            Repeater {
                objectName: "facts"
                model: dialog.facts

                RowLayout {
                    required property var modelData
                    Layout.fillWidth: true
                    spacing: 14

                    Label {
                        Layout.preferredWidth: 130
                        Layout.alignment: Qt.AlignTop
                        text: modelData[0]
                        color: "#9ca3af"
                        font.family: "Segoe UI"
                        font.pixelSize: 12
                    }
                    Label {
                        objectName: "factValue"
                        Layout.fillWidth: true
                        text: modelData[1]
                        textFormat: Text.PlainText
                        wrapMode: Text.WrapAnywhere
                        color: "#e8eaed"
                        font.family: "Segoe UI"
                        font.pixelSize: 12
                    }
                }
            }

            Repeater {
                objectName: "cards"
                model: dialog.tracks

                Rectangle {
                    id: cardItem
                    required property var modelData
                    readonly property bool active: modelData.active === true
                    readonly property string title: qsTr("%1 stream #%2").arg(modelData.type)
                                                        .arg(modelData.id >= 100000 ? "ext" : modelData.id)
                                                    + (active ? qsTr("  ·  in use") : "")
                    Layout.fillWidth: true
                    implicitHeight: card.implicitHeight + 16
                    color: "#1c1f26"
                    radius: 4
                    border.width: active ? 1 : 0
                    border.color: "#80ff5b22"

                    Column {
                        id: card
                        x: 10
                        y: 8
                        width: parent.width - 20
                        spacing: 2

                        Label {
                            width: parent.width
                            text: cardItem.title
                            textFormat: Text.PlainText
                            wrapMode: Text.WrapAnywhere
                            color: cardItem.active ? "#ff7a45" : "#e8eaed"
                            font.family: "Segoe UI"
                            font.pixelSize: 12
                            font.weight: Font.DemiBold
                        }
                        Repeater {
                            model: cardItem.modelData.details || []

                            Label {
                                required property var modelData
                                width: parent.width
                                text: modelData
                                textFormat: Text.PlainText
                                wrapMode: Text.WrapAnywhere
                                color: "#9ca3af"
                                font.family: "Segoe UI"
                                font.pixelSize: 11
                            }
                        }
                    }
                }
            }

            Label {
                objectName: "tagsHeading"
                visible: dialog.tags.length > 0
                text: qsTr("Tags")
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 12
                font.weight: Font.DemiBold
            }

            Repeater {
                objectName: "tags"
                model: dialog.tags

                RowLayout {
                    required property var modelData
                    Layout.fillWidth: true
                    spacing: 14

                    Label {
                        objectName: "tagKey"
                        Layout.preferredWidth: 130
                        Layout.maximumWidth: 130
                        text: modelData.key
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: "#9ca3af"
                        font.family: "Segoe UI"
                        font.pixelSize: 11
                    }
                    Label {
                        objectName: "tagValue"
                        Layout.fillWidth: true
                        text: modelData.value
                        textFormat: Text.PlainText
                        wrapMode: Text.WrapAnywhere
                        color: "#e8eaed"
                        font.family: "Segoe UI"
                        font.pixelSize: 11
                    }
                }
            }
        }
    }
}
