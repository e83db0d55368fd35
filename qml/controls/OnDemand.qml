import QtQml

// Stands in for a window or dialog that is made the first time something asks for it, so the main window's first
// frame never waits for windows nobody has opened. It carries the window's name until then; whoever reaches it
// calls its functions, which make the window (which takes the name over) and hand the call on.
QtObject {
    // What to make, and the object it hangs from (a window becomes that window's transient child).
    property Component sourceComponent
    property QtObject parentObject
    // The window once made; null before.
    property var item: null

    function get() {
        if (!item) {
            const name = objectName
            item = sourceComponent.createObject(parentObject, { objectName: name })
            if (!item)
                console.error("OnDemand: cannot make " + name + ": " + sourceComponent.errorString())
            else
                objectName = ""
        }
        return item
    }
}
