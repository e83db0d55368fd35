import QtQuick

// What happens when the user quits while conversions run: the window asks (the quit prompt), and the program
// quits now, or once the queue is idle, or once cancelled jobs have ended. The flags it keeps are the window's,
// where the program and its tests read them.
QtObject {
    id: flow

    // The main window: its quit flags, its visibility and its on-screen message.
    required property var host
    // The prompt the window shows when a quit would cut conversions short.
    required property var prompt

    // Nothing runs and nothing will start by itself: a paused queue keeps its waiting jobs for the next run.
    function queueIdle() {
        return Converter.running === 0 && (Converter.pending === 0 || Converter.paused)
    }

    // The window goes at once; the process stays until the queue allows the quit.
    function leaveWindow() {
        prompt.close()
        Player.stop()
        host.hide()
    }

    function keepConvertingThenQuit() {
        host.quitWhenIdle = true
        leaveWindow()
        if (queueIdle())
            Qt.quit()
    }

    function pauseQueueAndQuit() {
        Converter.paused = true
        host.forceQuit = true
        prompt.close()
        Qt.quit()
    }

    // A quit while a cancelled job still runs would leave it to the queue's shutdown, which keeps it for the
    // next start: wait for it to end, for a few seconds at most.
    function cancelConversionsAndQuit() {
        const jobs = Converter.jobs
        for (let i = 0; i < jobs.length; ++i) {
            if (jobs[i].state === "running" || jobs[i].state === "pending")
                Converter.cancel(jobs[i].id)
        }
        host.forceQuit = true
        if (Converter.running === 0) {
            prompt.close()
            Qt.quit()
            return
        }
        host.quitAfterCancel = true
        cancelQuitTimer.start()
        leaveWindow()
    }

    property Timer cancelQuitTimer: Timer {
        objectName: "cancelQuitTimer"
        interval: 5000
        onTriggered: {
            if (flow.host.quitAfterCancel && !flow.host.visible)
                Qt.quit()
        }
    }

    property Connections windowWatch: Connections {
        target: flow.host

        // Every way out (the close button, Qt.quit()) passes here. Waiting jobs alone never hold the window.
        function onClosing(close) {
            if (flow.host.forceQuit || flow.host.quitWhenIdle || typeof Converter === "undefined"
                || Converter.running === 0)
                return
            close.accepted = false
            flow.prompt.open()
        }

        // Shown again (files handed over by a later launch): the user is back, and nothing quits by itself.
        function onVisibleChanged() {
            if (!flow.host.visible)
                return
            flow.host.quitWhenIdle = false
            if (flow.host.quitAfterCancel) {
                flow.host.quitAfterCancel = false
                flow.cancelQuitTimer.stop()
                flow.host.forceQuit = false
            }
        }
    }

    property Connections converterWatch: Connections {
        target: typeof Converter !== "undefined" ? Converter : null

        function onJobFinished(id, ok, message) {
            flow.host.osd.show(ok ? qsTr("Converted: %1").arg(message) : qsTr("Conversion failed: %1").arg(message))
            // A window shown again (its visibility signal may still be on its way) holds the program.
            if (flow.host.visible)
                return
            if (flow.host.quitWhenIdle && flow.queueIdle())
                Qt.quit()
            else if (flow.host.quitAfterCancel && Converter.running === 0)
                Qt.quit()
        }
    }
}
