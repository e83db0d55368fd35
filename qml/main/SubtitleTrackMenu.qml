import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The media's subtitle tracks and the way to add a file, for the menu bar, the stage's menu and the transport
// bar's subtitles button. Tracks are chosen on the next turn, as in the audio track menu.
AppMenu {
    id: stm

    // The main window: it opens the subtitle file dialog.
    required property var host

    title: qsTr("Subtitle Track")
    enabled: typeof Player !== "undefined" && Player.hasMedia

    SelAction {
        text: qsTr("Off\tV")
        selected: typeof Player !== "undefined" && Player.currentSubtitleTrack < 0
        onTriggered: Player.selectSubtitleTrack(-1)
    }
    Instantiator {
        model: typeof Player !== "undefined" ? Player.subtitleTracks : []
        delegate: SelAction {
            readonly property int trackId: modelData ? modelData.id : -1
            text: modelData ? MenuText.literal(modelData.label) : ""
            selected: typeof Player !== "undefined" && Player.currentSubtitleTrack === trackId
            onTriggered: {
                const id = trackId
                Qt.callLater(() => Player.selectSubtitleTrack(id))
            }
        }
        onObjectAdded: (index, object) => stm.insertAction(index + 1, object)
        onObjectRemoved: (index, object) => stm.removeAction(object)
    }
    MenuSep {}
    Action {
        text: qsTr("Add Subtitle File...")
        onTriggered: stm.host.openSubtitleDialog()
    }
}
