import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The player's general preferences. There is no apply step: every control shows its Player property live
// and writes it on the user's change only; the player stores the value at once. After a write the binding is
// put back, so a value the player clamps shows as it was stored.
DarkDialog {
    id: dialog

    signal openLibrarySettings()
    signal openCastSettings()
    signal checkForUpdates()

    // [label, ISO 639-1 code]; only the first label is translated, the others are each language's own name.
    readonly property var languages: [
        [qsTr("No preference"), ""],
        ["English", "en"],
        ["Deutsch", "de"],
        ["Français", "fr"],
        ["Español", "es"],
        ["Italiano", "it"],
        ["Português", "pt"],
        ["Nederlands", "nl"],
        ["Svenska", "sv"],
        ["Polski", "pl"],
        ["Türkçe", "tr"],
        ["Русский", "ru"],
        ["Українська", "uk"],
        ["العربية", "ar"],
        ["हिन्दी", "hi"],
        ["日本語", "ja"],
        ["한국어", "ko"],
        ["中文", "zh"],
    ]

    // A code not in the list (edited by hand, say) shows as "No preference" and stays stored until a pick.
    function langIndex(code) {
        for (let i = 0; i < languages.length; ++i) {
            if (languages[i][1] === code)
                return i
        }
        return 0
    }

    title: qsTr("Preferences")
    standardButtons: Dialog.Close
    width: 520

    // The check box of the dialog, bound to the Player property named by prop.
    component PrefCheck: DarkCheck {
        id: check
        property string prop
        checked: Player[prop]
        onToggled: {
            Player[prop] = checked
            checked = Qt.binding(() => Player[check.prop])
        }
    }

    // The Basic combo box with its indicator drawn as text (the stock one is an image).
    component PrefCombo: ComboBox {
        id: combo
        Layout.fillWidth: true
        indicator: Text {
            x: combo.width - width - 10
            y: (combo.height - height) / 2
            text: "\u25be"
            color: "#9ca3af"
            font.pixelSize: 12
        }
    }

    component SectionTitle: Label {
        color: "#ff7a45"
        font.family: "Segoe UI"
        font.pixelSize: 11
        font.weight: Font.DemiBold
    }

    // The last row's four buttons fit the dialog's width only without the style's 100 px minimum and a
    // little smaller than its default text.
    component RowButton: Button {
        implicitWidth: implicitContentWidth + leftPadding + rightPadding
        leftPadding: 10
        rightPadding: 10
        font.family: "Segoe UI"
        font.pixelSize: 12
    }

    component RowLabel: Label {
        Layout.preferredWidth: 170
        color: "#e8eaed"
        font.family: "Segoe UI"
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 10

        SectionTitle {
            text: qsTr("Playback")
        }

        PrefCheck {
            objectName: "resumeCheck"
            text: qsTr("Resume files where I left off")
            prop: "resumePlayback"
        }

        PrefCheck {
            objectName: "playlistCheck"
            text: qsTr("Remember the playlist between sessions")
            prop: "rememberPlaylist"
        }

        PrefCheck {
            objectName: "hwDecodeCheck"
            text: qsTr("Use hardware video decoding (applies to the next file)")
            prop: "hwDecode"
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            RowLabel {
                text: qsTr("Arrow-key jump")
            }
            SpinBox {
                id: seekBox
                objectName: "seekBox"
                from: 1
                to: 120
                stepSize: 1
                editable: true
                value: Player.seekStepSeconds
                textFromValue: (value, locale) => qsTr("%1 s").arg(value)
                // The leading number counts, so "7 s" and "7" agree; no number keeps the value shown.
                valueFromText: (text, locale) => {
                    const match = /^\s*(\d+)/.exec(text)
                    return match ? parseInt(match[1], 10) : seekBox.value
                }
                // The stock validator refuses the " s" the box shows itself.
                validator: RegularExpressionValidator {
                    regularExpression: /\s*\d{0,4}(\s*s)?\s*/
                }
                onValueModified: {
                    Player.seekStepSeconds = value
                    value = Qt.binding(() => Player.seekStepSeconds)
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            RowLabel {
                text: qsTr("Snapshot format")
            }
            PrefCombo {
                objectName: "snapshotCombo"
                model: [qsTr("PNG (lossless)"), qsTr("JPEG (smaller)")]
                currentIndex: Player.snapshotPng ? 0 : 1
                onActivated: index => {
                    Player.snapshotPng = index === 0
                    currentIndex = Qt.binding(() => Player.snapshotPng ? 0 : 1)
                }
            }
        }

        SectionTitle {
            Layout.topMargin: 6
            text: qsTr("Languages")
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            RowLabel {
                text: qsTr("Preferred audio")
            }
            PrefCombo {
                objectName: "audioLanguageCombo"
                model: dialog.languages.map(pair => pair[0])
                currentIndex: dialog.langIndex(Player.audioLanguage)
                onActivated: index => {
                    Player.audioLanguage = dialog.languages[index][1]
                    currentIndex = Qt.binding(() => dialog.langIndex(Player.audioLanguage))
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            RowLabel {
                text: qsTr("Preferred subtitles")
            }
            PrefCombo {
                objectName: "subtitleLanguageCombo"
                model: dialog.languages.map(pair => pair[0])
                currentIndex: dialog.langIndex(Player.subtitleLanguage)
                onActivated: index => {
                    Player.subtitleLanguage = dialog.languages[index][1]
                    currentIndex = Qt.binding(() => dialog.langIndex(Player.subtitleLanguage))
                }
            }
        }

        SectionTitle {
            Layout.topMargin: 6
            text: qsTr("Subtitles")
        }

        PrefCheck {
            objectName: "autoLoadSubtitlesCheck"
            text: qsTr("Load subtitle files found next to the video")
            prop: "autoLoadSubtitles"
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            RowLabel {
                text: qsTr("Subtitle size")
            }
            Slider {
                id: scaleSlider
                objectName: "scaleSlider"
                Layout.fillWidth: true
                // The Basic slider draws its groove in midlight and its fill and handle rim in dark: the dark
                // controls' groove and accent, not a white track.
                palette.midlight: "#2a2d33"
                palette.dark: "#ff7a45"
                from: 0.5
                to: 2.5
                stepSize: 0.05
                // 6.4 does not snap while dragging by default.
                snapMode: Slider.SnapAlways
                value: Player.subtitleScale
                // Each move, not only the release: the size is seen on the video as it changes.
                onMoved: {
                    Player.subtitleScale = Math.round(value * 100) / 100
                    value = Qt.binding(() => Player.subtitleScale)
                }
            }
            Label {
                objectName: "scaleLabel"
                Layout.preferredWidth: 44
                color: "#9ca3af"
                font.family: "Segoe UI"
                text: Math.round(Player.subtitleScale * 100) + "%"
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: 8
            spacing: 8

            RowButton {
                objectName: "resetButton"
                text: qsTr("Reset to defaults")
                onClicked: Player.resetPreferences()
            }
            Item {
                Layout.fillWidth: true
            }
            // Each closes the dialog first: the window it leads to is not covered by it, nor reopens it.
            RowButton {
                objectName: "libraryButton"
                text: qsTr("Library...")
                onClicked: {
                    dialog.close()
                    dialog.openLibrarySettings()
                }
            }
            RowButton {
                objectName: "castingButton"
                text: qsTr("Casting...")
                onClicked: {
                    dialog.close()
                    dialog.openCastSettings()
                }
            }
            RowButton {
                objectName: "updatesButton"
                text: qsTr("Check for Updates Now")
                onClicked: {
                    dialog.close()
                    dialog.checkForUpdates()
                }
            }
        }
    }
}
