import QtQuick
import QtQuick.Controls

// The separator of the main window's menus: the menu bar's, the stage's and the transport bar's pop-ups.
MenuSeparator {
    topPadding: 4
    bottomPadding: 4
    contentItem: Rectangle {
        implicitWidth: 200
        implicitHeight: 1
        color: "#3a3d44"
    }
}
