import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A read-only card of the main window's keyboard and mouse shortcuts, grouped by topic. The keys are bound
// by the main window; this only lists them (F1, which opens it, is left out).
DarkDialog {
    id: dialog

    // [group title, [[keys, description], ...]]; the key texts are not translated.
    readonly property var groups: [
        [qsTr("Playback"), [
            ["Space", qsTr("Play / pause")],
            ["← / →", qsTr("Jump back / forward (see Preferences)")],
            ["Shift+← / Shift+→", qsTr("Jump 1 minute")],
            ["Home", qsTr("Go to the start")],
            ["0 … 9", qsTr("Jump to 0% … 90%")],
            [", / .", qsTr("Previous / next frame (while paused)")],
            ["[ / ]", qsTr("Slower / faster")],
            ["Backspace", qsTr("Normal speed")],
            ["PgUp / PgDn", qsTr("Previous / next playlist item")],
            ["Shift+PgUp / Shift+PgDn", qsTr("Previous / next chapter")],
            ["R", qsTr("Repeat: off / one / all")],
            ["Ctrl+W", qsTr("Stop and close the file")],
        ]],
        [qsTr("Audio"), [
            ["↑ / ↓", qsTr("Volume up / down")],
            ["M", qsTr("Mute")],
            ["B", qsTr("Next audio track")],
        ]],
        [qsTr("Subtitles"), [
            ["V", qsTr("Next subtitle track / off")],
            ["G / H", qsTr("Subtitles 100 ms earlier / later")],
            ["Ctrl+↑ / Ctrl+↓", qsTr("Larger / smaller subtitles")],
        ]],
        [qsTr("Video & window"), [
            ["F11 / F / double-click", qsTr("Fullscreen")],
            ["Esc", qsTr("Leave fullscreen")],
            ["A", qsTr("Cycle aspect ratio")],
            ["Z", qsTr("Fit / crop / stretch")],
            ["Shift+S", qsTr("Save a snapshot")],
            ["Ctrl+T", qsTr("Always on top")],
            ["Ctrl+L", qsTr("Show / hide the playlist")],
            ["Ctrl+I", qsTr("Media information")],
        ]],
        [qsTr("Files"), [
            ["Ctrl+O", qsTr("Open files")],
            ["Ctrl+Shift+O", qsTr("Open a folder")],
            ["Ctrl+U", qsTr("Open a network stream")],
            ["Ctrl+S", qsTr("Save the playlist")],
            ["Delete", qsTr("Remove the selected playlist item")],
            ["Ctrl+P", qsTr("Preferences")],
            ["Ctrl+Q", qsTr("Quit")],
        ]],
        [qsTr("Library, effects & casting"), [
            ["Ctrl+B", qsTr("Show / hide the library sidebar")],
            ["Ctrl+F", qsTr("Search the library")],
            ["Ctrl+Shift+L", qsTr("Library browser / now playing")],
            ["Alt+←", qsTr("Back (library browser)")],
            ["Ctrl+E", qsTr("Equalizer, effects & filters")],
            ["Ctrl+R", qsTr("Convert / save")],
            ["Ctrl+Shift+C", qsTr("Cast to a TV or speaker")],
            ["Ctrl+Shift+P", qsTr("Performance overlay")],
        ]],
    ]

    title: qsTr("Keyboard Shortcuts")
    standardButtons: Dialog.Close
    width: 560
    height: parent ? Math.min(parent.height - 60, 640) : 640

    ScrollView {
        id: scroll
        objectName: "shortcutsScroll"
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
            spacing: 4

            Repeater {
                objectName: "groups"
                model: dialog.groups

                ColumnLayout {
                    id: group
                    required property var modelData
                    Layout.fillWidth: true
                    Layout.bottomMargin: 8
                    spacing: 3

                    Label {
                        objectName: "groupTitle"
                        text: group.modelData[0]
                        color: "#ff7a45"
                        font.family: "Segoe UI"
                        font.pixelSize: 11
                        font.weight: Font.DemiBold
                    }

                    Repeater {
                        model: group.modelData[1]

                        RowLayout {
                            objectName: "shortcutRow"
                            required property var modelData
                            readonly property string keys: modelData[0]
                            readonly property string description: modelData[1]
                            Layout.fillWidth: true
                            spacing: 14

                            Label {
                                objectName: "keys"
                                Layout.preferredWidth: 190
                                Layout.minimumWidth: 190
                                Layout.maximumWidth: 190
                                Layout.alignment: Qt.AlignTop
                                text: parent.keys
                                textFormat: Text.PlainText
                                color: "#e8eaed"
                                font.family: "JetBrains Mono"
                                font.pixelSize: 11
                            }
                            Label {
                                objectName: "description"
                                Layout.fillWidth: true
                                text: parent.description
                                textFormat: Text.PlainText
                                wrapMode: Text.WordWrap
                                color: "#9ca3af"
                                font.family: "Segoe UI"
                                font.pixelSize: 12
                            }
                        }
                    }
                }
            }
        }
    }
}
