import QtQuick
import QtQuick.Controls.Basic

// The slider of every window, on the Basic style's behaviour. It has no useful implicit size: the place
// using it gives it its length.
Slider {
    id: control

    // The groove; the fill runs from the handle towards the minimum end (left, or bottom when vertical).
    background: Rectangle {
        x: control.horizontal ? control.leftPadding : control.leftPadding + control.availableWidth / 2 - 2
        y: control.horizontal ? control.topPadding + control.availableHeight / 2 - 2 : control.topPadding
        width: control.horizontal ? control.availableWidth : 4
        height: control.horizontal ? 4 : control.availableHeight
        radius: 2
        color: "#2a2d33"

        Rectangle {
            x: 0
            y: control.horizontal ? 0 : parent.height * control.visualPosition
            width: control.horizontal ? parent.width * control.visualPosition : parent.width
            height: control.horizontal ? parent.height : parent.height * (1 - control.visualPosition)
            radius: 2
            color: control.enabled ? "#ff7a45" : "#5f646d"
        }
    }

    handle: Rectangle {
        x: control.horizontal ? control.leftPadding + control.visualPosition * (control.availableWidth - 12)
                              : control.leftPadding + control.availableWidth / 2 - 6
        y: control.horizontal ? control.topPadding + control.availableHeight / 2 - 6
                              : control.topPadding + control.visualPosition * (control.availableHeight - 12)
        width: 12
        height: 12
        radius: 6
        border.width: 0
        color: control.pressed ? "#ff7a45" : control.enabled ? "#e8eaed" : "#5f646d"
    }
}
