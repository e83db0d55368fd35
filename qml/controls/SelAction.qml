import QtQuick
import QtQuick.Controls.Basic

// A menu entry whose mark follows a binding only: it is never checkable, so a click cannot toggle a mark of
// its own and the mark keeps following the player when the choice changes elsewhere.
Action {
    // The menu marks the entry when this is exactly true. Not a bool: a binding that reads an absent object
    // gives undefined, which a bool property refuses and keeps its last value, so a mark would stay behind.
    property var selected: false
}
