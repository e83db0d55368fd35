import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The media's audio tracks, for the menu bar and the stage's menu.
// Choosing a track changes the list that made the entries: the player is called on the next turn, once the
// chosen entry has closed its menu, or the rebuilt list would destroy it mid-trigger.
AppMenu {
    id: atm
    title: qsTr("Audio Track")
    enabled: typeof Player !== "undefined" && Player.audioTracks.length > 0

    Instantiator {
        model: typeof Player !== "undefined" ? Player.audioTracks : []
        delegate: SelAction {
            readonly property int trackId: modelData ? modelData.id : -1
            text: modelData ? MenuText.literal(modelData.label) : ""
            selected: typeof Player !== "undefined" && Player.currentAudioTrack === trackId
            onTriggered: {
                const id = trackId
                Qt.callLater(() => Player.selectAudioTrack(id))
            }
        }
        onObjectAdded: (index, object) => atm.insertAction(index, object)
        onObjectRemoved: (index, object) => atm.removeAction(object)
    }
}
