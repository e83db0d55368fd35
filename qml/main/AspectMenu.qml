import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer

// The picture's aspect ratio and how it fills the stage, for the menu bar and the stage's menu.
AppMenu {
    id: arm

    // The main window: it keeps the aspect and fill choices and lists the aspects.
    required property var host

    title: qsTr("Aspect Ratio")

    Instantiator {
        model: arm.host.aspects
        delegate: SelAction {
            readonly property real ratio: modelData[1]
            text: modelData[0]
            selected: Math.abs(arm.host.aspectOverride - ratio) < 0.001
            onTriggered: arm.host.aspectOverride = ratio
        }
        onObjectAdded: (index, object) => arm.insertAction(index, object)
        onObjectRemoved: (index, object) => arm.removeAction(object)
    }
    MenuSep {}
    SelAction {
        text: qsTr("Fit\tZ")
        selected: arm.host.fillMode === VideoSink.Fit
        onTriggered: arm.host.fillMode = VideoSink.Fit
    }
    SelAction {
        text: qsTr("Crop to Fill")
        selected: arm.host.fillMode === VideoSink.Crop
        onTriggered: arm.host.fillMode = VideoSink.Crop
    }
    SelAction {
        text: qsTr("Stretch")
        selected: arm.host.fillMode === VideoSink.Stretch
        onTriggered: arm.host.fillMode = VideoSink.Stretch
    }
}
