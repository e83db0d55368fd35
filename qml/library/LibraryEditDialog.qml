import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// "Edit Info": the library's own values for one or more items. They override the file's tags and survive
// rescans; writing them into the files as well is the user's choice. Several items are edited together:
// only the fields filled in change, and typed tags are added to each item's own.
DarkDialog {
    id: dialog

    property var ids: []
    property var item: ({})
    property var initial: ({})
    readonly property bool multi: ids.length > 1
    readonly property bool video: !multi && item.kind === "video"
    readonly property var fields: video ? videoFields : musicFields

    readonly property var musicFields: [
        { key: "title", label: qsTr("Title") },
        { key: "artist", label: qsTr("Artist") },
        { key: "album", label: qsTr("Album") },
        { key: "album_artist", label: qsTr("Album artist") },
        { key: "year", label: qsTr("Year") },
        { key: "track", label: qsTr("Track") },
        { key: "genre", label: qsTr("Genre") },
        { key: "composer", label: qsTr("Composer") },
    ]
    readonly property var videoFields: [
        { key: "title", label: qsTr("Title") },
        { key: "year", label: qsTr("Year") },
        { key: "genre", label: qsTr("Genre") },
        { key: "show", label: qsTr("Show") },
        { key: "season", label: qsTr("Season") },
        { key: "episode", label: qsTr("Episode") },
    ]
    // The kind chooser's entries by index: what the user reads, and the category stored.
    readonly property var categoryLabels: [qsTr("Automatic"), qsTr("Movie"), qsTr("TV episode"), qsTr("Other video")]
    readonly property var categoryValues: ["", "movie", "episode", "other"]
    readonly property var numericKeys: ["year", "track", "season", "episode"]

    readonly property var library: typeof Library !== "undefined" ? Library : null

    function openFor(list) {
        ids = list ? Array.from(list) : []
        if (ids.length === 0)
            return
        item = library && library.item ? (library.item(ids[0]) || {}) : {}

        const start = {}
        if (!multi) {
            for (const key of ["title", "artist", "album", "album_artist", "genre", "composer", "show", "tags",
                               "category"])
                start[key] = textOf(item[key])
            start.year = Number(item.year) > 0 ? String(item.year) : ""
            start.track = Number(item.track_number) > 0 ? String(item.track_number) : ""
            // An episode numbered 0 is a real number, unlike year and track, where 0 means none.
            for (const key of ["season", "episode"])
                start[key] = item[key] === undefined || item[key] === null ? "" : String(item[key])
        }
        initial = start

        for (let i = 0; i < rows.count; ++i) {
            const row = rows.itemAt(i)
            if (row)
                row.field.text = multi ? "" : textOf(initial[row.key])
        }
        tagsField.text = textOf(initial.tags)
        const index = categoryValues.indexOf(textOf(initial.category))
        kindCombo.currentIndex = index < 0 ? 0 : index
        writeBack.checked = false
        open()
    }

    function textOf(value) {
        return value === undefined || value === null ? "" : String(value)
    }

    // The file's own value of a field, shown as a hint in single mode; a year of 0 is the file having none.
    function fileValue(key) {
        const original = item.original
        if (multi || !original)
            return ""
        const value = original[key]
        if (value === undefined || value === null || (key === "year" && Number(value) === 0))
            return ""
        return String(value)
    }

    function save() {
        if (ids.length === 0 || !library)
            return
        const changes = {}
        let changed = false
        for (let i = 0; i < rows.count; ++i) {
            const row = rows.itemAt(i)
            if (!row)
                continue
            const text = row.field.text.trim()
            if (multi ? text !== "" : text !== textOf(initial[row.key])) {
                changes[row.key] = text
                changed = true
            }
        }
        if (video) {
            const category = categoryValues[kindCombo.currentIndex] || ""
            if (category !== textOf(initial.category)) {
                changes.category = category
                changed = true
            }
        }
        if (changed)
            library.editMetadata(ids, changes)
        if (tagsField.text !== textOf(initial.tags))
            library.setTags(ids, tagsField.text, multi)
        if (!writeBack.checked)
            return
        const errors = []
        for (const id of ids) {
            const error = library.writeTagsToFile(id)
            if (error)
                errors.push(error)
        }
        if (errors.length > 0) {
            errorDlg.message = errors[0] + (errors.length > 1 ? qsTr(" (and %1 more)").arg(errors.length - 1) : "")
            errorDlg.open()
        }
    }

    parent: T.Overlay.overlay
    width: 560
    title: multi ? qsTr("Edit %1 Items").arg(ids.length) : qsTr("Edit Info")
    standardButtons: Dialog.Save | Dialog.Cancel

    onAccepted: save()

    // A text field whose hint is drawn as plain text: hints are tag values from the files.
    component EditField: TextField {
        id: field

        property string hint

        selectByMouse: true
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 12
        background: Rectangle {
            implicitHeight: 28
            radius: 3
            color: "#1c1f26"
            border.width: 1
            border.color: field.activeFocus ? "#ff5b22" : "#3a3d44"
        }

        Text {
            objectName: "fieldHint"
            x: field.leftPadding
            y: field.topPadding
            width: field.width - field.leftPadding - field.rightPadding
            height: field.height - field.topPadding - field.bottomPadding
            text: field.hint
            textFormat: Text.PlainText
            visible: field.length === 0 && !field.preeditText
            elide: Text.ElideRight
            verticalAlignment: field.verticalAlignment
            color: "#5f646d"
            font: field.font
        }
    }

    component RowLabel: Label {
        objectName: "editRowLabel"
        Layout.preferredWidth: 90
        color: "#9ca3af"
        font.family: "Segoe UI"
        font.pixelSize: 12
        elide: Text.ElideRight
    }

    ColumnLayout {
        width: parent ? parent.width : implicitWidth
        spacing: 10

        Label {
            objectName: "editMultiHint"
            Layout.fillWidth: true
            visible: dialog.multi
            text: qsTr("Only fields you fill in are changed. Tags are added to the existing ones.")
            wrapMode: Text.WordWrap
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 11
        }

        ColumnLayout {
            objectName: "editForm"
            Layout.fillWidth: true
            spacing: 6

            RowLayout {
                objectName: "kindRow"
                Layout.fillWidth: true
                spacing: 12
                visible: dialog.video

                RowLabel {
                    text: qsTr("Kind")
                }
                DarkCombo {
                    id: kindCombo
                    objectName: "kindCombo"
                    model: dialog.categoryLabels
                }
            }

            Repeater {
                id: rows
                model: dialog.fields

                RowLayout {
                    id: row

                    required property var modelData
                    readonly property string key: modelData.key
                    readonly property alias field: input

                    objectName: "row_" + key
                    Layout.fillWidth: true
                    spacing: 12

                    RowLabel {
                        text: modelData.label
                    }
                    EditField {
                        id: input
                        objectName: "field_" + row.key
                        Layout.fillWidth: true
                        hint: dialog.multi ? qsTr("(keep)")
                            : dialog.fileValue(row.key) !== "" ? qsTr("File: %1").arg(dialog.fileValue(row.key))
                            : ""
                        validator: dialog.numericKeys.indexOf(row.key) >= 0 ? wholeNumber : null
                    }
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 12

                RowLabel {
                    text: qsTr("Tags")
                }
                EditField {
                    id: tagsField
                    objectName: "tagsField"
                    Layout.fillWidth: true
                    hint: qsTr("comma, separated")
                }
            }
        }

        DarkCheck {
            id: writeBack
            objectName: "writeBack"
            text: qsTr("Also write these tags into the file(s)")
        }

        Label {
            objectName: "editPath"
            Layout.fillWidth: true
            visible: !dialog.multi && dialog.textOf(dialog.item.uri) !== ""
            text: dialog.textOf(dialog.item.uri)
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            color: "#5f646d"
            font.family: "Segoe UI"
            font.pixelSize: 10
        }
    }

    // Whole numbers from 0 to 9999, and nothing else can be typed.
    RegularExpressionValidator {
        id: wholeNumber
        regularExpression: /[0-9]{0,4}/
    }

    DarkDialog {
        id: errorDlg
        objectName: "errorDlg"

        property string message

        parent: T.Overlay.overlay
        width: 400
        title: qsTr("Tags not written")
        standardButtons: Dialog.Ok

        Label {
            objectName: "editErrorText"
            width: parent ? parent.width : implicitWidth
            text: errorDlg.message + "\n\n" + qsTr("The library keeps your edits either way.")
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: "#c9ccd1"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }
    }
}
