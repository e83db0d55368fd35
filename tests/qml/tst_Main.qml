import QtQuick
import QtQuick.Window
import QtTest

TestCase {
    name: "Main"

    // The program loads the main window by this URL; a wrong resource prefix would leave it without one.
    function test_loadsFromTheLinkedModule() {
        const component = Qt.createComponent("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")
        verify(component.status === Component.Ready, component.errorString())
        const window = createTemporaryObject(component, null)
        verify(window !== null)
        verify(window instanceof Window)
        compare(window.title, "Kestrune Media Player")
        tryVerify(() => window.visible)
        // The picture fills the window; with no player around it has nothing to show.
        const sink = findChild(window.contentItem, "videoSink")
        verify(sink !== null)
        tryCompare(sink, "width", window.width)
        tryCompare(sink, "height", window.height)
        compare(sink.bridge, null)
    }
}
