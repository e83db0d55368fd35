import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T

// Reports the update checker's state; holds none of its own. It only ever points the browser at the
// installer: the player downloads and installs nothing. Closing it leaves a running check going.
DarkDialog {
    id: dialog

    readonly property string st: Updates.state

    // Opens the dialog and starts a check; the checker ignores the call while one is running.
    function checkNow() {
        open()
        Updates.check()
    }

    title: qsTr("Check for Updates")
    width: 460
    // Over the whole window, whoever opens it.
    parent: T.Overlay.overlay

    ColumnLayout {
        anchors.fill: parent
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            Image {
                Layout.preferredWidth: 48
                Layout.preferredHeight: 48
                Layout.alignment: Qt.AlignTop
                source: "qrc:/icons/app.png"
                sourceSize: Qt.size(96, 96)
                smooth: true
                mipmap: true
            }

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2

                // The version comes from the feed: plain text, so markup in it shows as typed and fetches
                // nothing.
                Label {
                    objectName: "titleLabel"
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    textFormat: Text.PlainText
                    color: "#e8eaed"
                    font.family: "Segoe UI"
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    text: dialog.st === "checking" ? qsTr("Checking…")
                        : dialog.st === "available" ? qsTr("Version %1 is available").arg(Updates.latestVersion)
                        : dialog.st === "current" ? qsTr("You're up to date")
                        : dialog.st === "error" ? qsTr("Couldn't check for updates")
                        : qsTr("Kestrune Media Player")
                }

                Label {
                    objectName: "detailLabel"
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    textFormat: Text.PlainText
                    color: dialog.st === "error" ? "#f87171" : "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                    text: dialog.st === "error" ? Updates.error
                        : dialog.st === "available"
                          ? qsTr("You have %1%2").arg(Updates.currentVersion)
                                .arg(Updates.releaseDate !== ""
                                     ? qsTr(" · released %1").arg(Updates.releaseDate) : "")
                        : qsTr("Version %1").arg(Updates.currentVersion)
                }
            }
        }

        ScrollView {
            id: notesView
            objectName: "notesView"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(notesArea.implicitHeight + 16, 220)
            visible: dialog.st === "available" && Updates.releaseNotes !== ""
            // Wrapped to the box: only the height scrolls.
            contentWidth: availableWidth

            TextArea {
                id: notesArea
                objectName: "notesArea"
                readOnly: true
                wrapMode: TextEdit.Wrap
                textFormat: TextEdit.PlainText
                selectByMouse: true
                color: "#c9ccd1"
                font.family: "Segoe UI"
                font.pixelSize: 12
                text: Updates.releaseNotes
                background: Rectangle {
                    color: "#0e1014"
                    radius: 4
                    border.color: "#2c3038"
                }
            }
        }

        Label {
            objectName: "downloadHint"
            Layout.fillWidth: true
            visible: dialog.st === "available"
            wrapMode: Text.Wrap
            color: "#6b7079"
            font.family: "Segoe UI"
            font.pixelSize: 11
            text: qsTr("Download opens the installer in your browser; run it to update. The player never downloads or installs anything by itself.")
        }

        Label {
            objectName: "lastCheckLabel"
            Layout.fillWidth: true
            visible: dialog.st === "current" || dialog.st === "error"
            textFormat: Text.PlainText
            color: "#6b7079"
            font.family: "Segoe UI"
            font.pixelSize: 11
            text: Updates.lastChecked !== "" ? qsTr("Last successful check: %1").arg(Updates.lastChecked) : ""
        }

        RowLayout {
            Layout.topMargin: 6
            Layout.alignment: Qt.AlignRight
            spacing: 8

            DarkButton {
                objectName: "tryAgainButton"
                visible: dialog.st === "error"
                text: qsTr("Try Again")
                onClicked: Updates.check()
            }
            DarkButton {
                objectName: "downloadButton"
                visible: dialog.st === "available"
                accent: true
                text: qsTr("Download")
                onClicked: {
                    Updates.openDownload()
                    dialog.close()
                }
            }
            DarkButton {
                objectName: "closeButton"
                text: qsTr("Close")
                onClicked: dialog.close()
            }
        }
    }
}
