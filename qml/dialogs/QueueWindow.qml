import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer
import "QueueFmt.js" as QueueFmt

// The "Conversion Queue" window: a live view of Converter. It holds no job data of its own; every action is
// one call on the queue. Hiding it changes nothing: the queue goes on converting.
Window {
    id: root

    // A failed job's settings with its "input", for the convert dialog.
    signal adjust(var settings)

    function openWindow() {
        show()
        raise()
        requestActivate()
    }

    function fmtEta(s) {
        return QueueFmt.fmtEta(s)
    }

    function fmtBytes(b) {
        return QueueFmt.fmtBytes(b)
    }

    // One ListModel row from a job map, every role with a fixed type (a ListModel keeps a role's first type).
    function rowOf(job) {
        return {
            jobId: Number(job.id),
            name: String(job.name || ""),
            summary: String(job.summary || ""),
            jobState: String(job.state || "pending"),
            progress: Number(job.progress) || 0,
            pass: Number(job.pass) || 0,
            passes: Number(job.passes) || 0,
            speed: Number(job.speed) || 0,
            fps: Number(job.fps) || 0,
            bytes: Number(job.bytes) || 0,
            eta: job.eta === undefined ? -1 : Number(job.eta),
            error: String(job.error || ""),
            output: String(job.output || "")
        }
    }

    // Brings the rows in step with Converter.jobs in place. Reassigning the list instead would destroy every
    // row and scroll back to the top twice a second while a job runs, and a click could land on a row that
    // no longer exists.
    function syncRows() {
        const jobs = Converter.jobs
        const wanted = {}
        for (const job of jobs)
            wanted[job.id] = true
        for (let i = rows.count - 1; i >= 0; --i) {
            if (!wanted[rows.get(i).jobId])
                rows.remove(i)
        }
        for (let i = 0; i < jobs.length; ++i) {
            const row = rowOf(jobs[i])
            let at = -1
            for (let k = i; k < rows.count; ++k) {
                if (rows.get(k).jobId === row.jobId) {
                    at = k
                    break
                }
            }
            if (at < 0) {
                rows.insert(i, row)
                continue
            }
            if (at !== i)
                rows.move(at, i, 1)
            const old = rows.get(i)
            for (const key in row) {
                if (old[key] !== row[key])
                    rows.setProperty(i, key, row[key])
            }
        }
    }

    // The small square buttons of a row, as high as its push buttons.
    component RowTool: ToolButton {
        implicitWidth: 26
        implicitHeight: 26
        padding: 2
        font.pixelSize: 11
    }

    title: qsTr("Conversion Queue")
    width: 680
    height: 460
    minimumWidth: 520
    minimumHeight: 300
    color: "#16181d"
    // Without CustomizeWindowHint X11 window managers add minimise and maximise anyway.
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint

    AppSettings {
        category: "queueWindow"
        property alias width: root.width
        property alias height: root.height
    }

    ListModel {
        id: rows
    }

    Connections {
        target: Converter
        function onJobsChanged() {
            root.syncRows()
        }
    }

    Component.onCompleted: syncRows()

    DarkWindowPane {
        ColumnLayout {
            anchors.fill: parent
            spacing: 8

            RowLayout {
                Layout.fillWidth: true
                spacing: 8

                Label {
                    objectName: "statusText"
                    text: QueueFmt.status(Converter.running, Converter.pending, Converter.paused)
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                    color: "#e8eaed"
                }
                Item {
                    Layout.fillWidth: true
                }
                Label {
                    text: qsTr("At once")
                    font.pixelSize: 11
                    color: "#9ca3af"
                }
                DarkCombo {
                    id: concurrencyCombo
                    objectName: "concurrencyCombo"
                    implicitWidth: 60
                    model: ["1", "2", "3", "4"]
                    currentIndex: Converter.concurrency - 1
                    onActivated: index => {
                        Converter.concurrency = index + 1
                        currentIndex = Qt.binding(() => Converter.concurrency - 1)
                    }
                }
                DarkButton {
                    objectName: "pauseButton"
                    text: Converter.paused ? qsTr("Resume") : qsTr("Pause Queue")
                    onClicked: Converter.paused = !Converter.paused
                }
                DarkButton {
                    objectName: "clearFinishedButton"
                    text: qsTr("Clear Finished")
                    onClicked: Converter.clearFinished()
                }
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.fillHeight: true
                color: "#1c1f26"
                radius: 4
                border.color: "#2c3038"

                ListView {
                    id: list
                    objectName: "jobList"
                    anchors.fill: parent
                    anchors.margins: 4
                    clip: true
                    spacing: 4
                    model: rows
                    boundsBehavior: Flickable.StopAtBounds
                    ScrollBar.vertical: ScrollBar {}

                    delegate: Rectangle {
                        id: row
                        objectName: "jobRow"

                        readonly property int jobId: model.jobId
                        readonly property string jobState: model.jobState
                        readonly property bool active: jobState === "running" || jobState === "pending"

                        width: ListView.view.width - 8
                        height: content.implicitHeight + 14
                        radius: 3
                        color: "#22252c"

                        ColumnLayout {
                            id: content
                            x: 8
                            y: 7
                            width: row.width - 16
                            spacing: 4

                            RowLayout {
                                Layout.fillWidth: true
                                spacing: 6

                                Text {
                                    objectName: "stateMark"
                                    Layout.preferredWidth: 14
                                    text: QueueFmt.stateMark(row.jobState)
                                    color: QueueFmt.stateColor(row.jobState)
                                    font.pixelSize: 13
                                    font.bold: true
                                }
                                Text {
                                    objectName: "nameText"
                                    Layout.fillWidth: true
                                    text: model.name
                                    textFormat: Text.PlainText
                                    elide: Text.ElideMiddle
                                    font.pixelSize: 12
                                    color: "#e8eaed"
                                }
                                Text {
                                    objectName: "summaryText"
                                    text: QueueFmt.summary(model.summary)
                                    textFormat: Text.PlainText
                                    font.pixelSize: 10
                                    color: "#5f646d"
                                }
                                RowTool {
                                    objectName: "upButton"
                                    text: "\u25b2"
                                    visible: row.jobState === "pending"
                                    onClicked: Converter.move(row.jobId, -1)
                                }
                                RowTool {
                                    objectName: "downButton"
                                    text: "\u25bc"
                                    visible: row.jobState === "pending"
                                    onClicked: Converter.move(row.jobId, 1)
                                }
                                DarkButton {
                                    objectName: "cancelButton"
                                    text: qsTr("Cancel")
                                    visible: row.active
                                    onClicked: Converter.cancel(row.jobId)
                                }
                                DarkButton {
                                    objectName: "retryButton"
                                    text: qsTr("Retry")
                                    visible: row.jobState === "failed" || row.jobState === "cancelled"
                                    onClicked: Converter.retry(row.jobId)
                                }
                                DarkButton {
                                    objectName: "adjustButton"
                                    text: qsTr("Adjust\u2026")
                                    visible: row.jobState === "failed"
                                    onClicked: root.adjust(Converter.jobSettings(row.jobId))
                                }
                                DarkButton {
                                    objectName: "showButton"
                                    text: qsTr("Show")
                                    visible: row.jobState === "done"
                                    onClicked: Converter.openOutputFolder(row.jobId)
                                }
                                RowTool {
                                    id: removeButton
                                    objectName: "removeButton"
                                    text: "\u2715"
                                    visible: row.jobState !== "running"
                                    onClicked: Converter.remove(row.jobId)
                                    ToolTip.visible: hovered
                                    ToolTip.text: qsTr("Remove from the list")
                                }
                            }

                            Rectangle {
                                objectName: "progressBar"
                                Layout.fillWidth: true
                                Layout.preferredHeight: 6
                                visible: row.active
                                radius: 3
                                color: "#2a2d33"

                                Rectangle {
                                    objectName: "progressFill"
                                    width: parent.width * QueueFmt.barFraction(model.progress)
                                    height: parent.height
                                    radius: 3
                                    color: "#ff5b22"
                                }
                            }

                            Text {
                                objectName: "detailText"
                                Layout.fillWidth: true
                                text: QueueFmt.detail({
                                    state: row.jobState, progress: model.progress, pass: model.pass,
                                    passes: model.passes, speed: model.speed, fps: model.fps,
                                    bytes: model.bytes, eta: model.eta, error: model.error, output: model.output
                                }, Converter.paused)
                                textFormat: Text.PlainText
                                wrapMode: Text.Wrap
                                font.pixelSize: 11
                                color: row.jobState === "failed" ? "#ef4444" : "#9ca3af"
                            }
                        }
                    }
                }

                Label {
                    objectName: "emptyText"
                    anchors.centerIn: parent
                    visible: rows.count === 0
                    text: qsTr("Use File › Convert / Save… to add files.")
                    color: "#5f646d"
                    font.pixelSize: 12
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 8

                DarkCheck {
                    id: keepPartialCheck
                    objectName: "keepPartialCheck"
                    text: qsTr("Keep partly converted files when cancelled or failed")
                    checked: Converter.keepPartial
                    onToggled: {
                        Converter.keepPartial = checked
                        checked = Qt.binding(() => Converter.keepPartial)
                    }
                }
                Item {
                    Layout.fillWidth: true
                }
                DarkButton {
                    objectName: "closeButton"
                    text: qsTr("Close")
                    onClicked: root.hide()
                }
            }
        }
    }
}
