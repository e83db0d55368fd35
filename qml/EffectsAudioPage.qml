import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// The Audio page of the effects window. The window loads it with dialog set; the page reads and writes the
// window's working copies through it and builds its sections from the window's shared controls
// (EffectsDialog.Heading, EffectsDialog.FxSlider, ...).
ScrollView {
    id: page

    // The EffectsDialog: its working copies, pushes and shared controls.
    required property var dialog

    clip: true
    contentWidth: availableWidth

    Column {
        id: sections
        objectName: "sections"
        width: page.availableWidth - 12
        spacing: 6
    }
}
