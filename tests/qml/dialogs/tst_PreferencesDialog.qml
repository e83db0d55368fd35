import QtQuick
import QtQuick.Controls.Basic
import QtTest
import Kestrune.MediaPlayer

// The preferences against the real player: every change is the user's (clicks and typing), and what counts
// is the player's property and the stored settings value right after it.
TestCase {
    id: testCase
    name: "PreferencesDialog"
    when: windowShown
    width: 800
    height: 700

    PreferencesDialog {
        id: dialog
    }

    SignalSpy {
        id: osdSpy
        target: Player
        signalName: "osd"
    }

    function ctl(name) {
        const item = findChild(dialog.contentItem, name)
        verify(item !== null, name)
        return item
    }

    function stored(key) {
        return String(TestKit.settingsValue(key))
    }

    // Picks an entry of a combo box the way a user does: open its list, click the entry.
    function pick(comboName, index) {
        const combo = ctl(comboName)
        mouseClick(combo)
        tryCompare(combo.popup, "opened", true)
        const list = combo.popup.contentItem
        list.positionViewAtIndex(index, ListView.Contain)
        let entry = null
        tryVerify(() => (entry = list.itemAtIndex(index)) !== null)
        mouseClick(entry)
        tryCompare(combo.popup, "visible", false)
    }

    // Clicks the size slider at a fraction of its track.
    function clickSlider(fraction) {
        const slider = ctl("scaleSlider")
        mouseClick(slider, slider.leftPadding + fraction * slider.availableWidth, slider.height / 2)
    }

    function typeIntoSeekBox(text) {
        const field = ctl("seekBox").contentItem
        field.forceActiveFocus()
        field.selectAll()
        for (const c of text)
            keyClick(c === " " ? Qt.Key_Space : c)
        keyClick(Qt.Key_Return)
    }

    function init() {
        Player.resetPreferences()
        dialog.open()
        tryCompare(dialog, "opened", true)
        osdSpy.clear()
    }

    function cleanup() {
        dialog.close()
        tryCompare(dialog, "visible", false)
        Player.resetPreferences()
    }

    // Every language name of the lists draws with glyphs of some font on the machine, none as a box.
    function test_languageNamesHaveGlyphs_data() {
        return [{ tag: "audio", combo: "audioLanguageCombo" }, { tag: "subtitles", combo: "subtitleLanguageCombo" }]
    }

    function test_languageNamesHaveGlyphs(row) {
        const combo = ctl(row.combo)
        mouseClick(combo)
        tryCompare(combo.popup, "opened", true)
        const list = combo.popup.contentItem
        const missing = []
        for (let i = 0; i < combo.count; ++i) {
            list.positionViewAtIndex(i, ListView.Contain)
            let entry = null
            tryVerify(() => (entry = list.itemAtIndex(i)) !== null)
            if (TestKit.missingGlyphs(entry.text, entry.font) > 0)
                missing.push(entry.text)
        }
        compare(missing, [])
        compare(combo.count, dialog.languages.length)
        list.positionViewAtIndex(combo.count - 1, ListView.End)
        TestKit.waitForFrame(testCase.Window.window)
        TestKit.screenshot(testCase.Window.window, "PreferencesLanguages")
        keyClick(Qt.Key_Escape)
        tryCompare(combo.popup, "visible", false)
    }

    function test_checkBoxesWriteAtOnce_data() {
        return [
            { tag: "resume", name: "resumeCheck", prop: "resumePlayback", key: "prefs/resumePlayback" },
            { tag: "playlist", name: "playlistCheck", prop: "rememberPlaylist", key: "prefs/rememberPlaylist" },
            { tag: "hardware", name: "hwDecodeCheck", prop: "hwDecode", key: "prefs/hwDecode" },
            { tag: "subtitle files", name: "autoLoadSubtitlesCheck", prop: "autoLoadSubtitles",
              key: "prefs/autoLoadSubtitles" },
        ]
    }

    function test_checkBoxesWriteAtOnce(row) {
        const check = ctl(row.name)
        verify(check.checked)
        mouseClick(check)
        compare(Player[row.prop], false)
        compare(stored(row.key), "false")
        mouseClick(check)
        compare(Player[row.prop], true)
        compare(stored(row.key), "true")
        // After the user's writes the box still follows the player.
        Player[row.prop] = false
        compare(check.checked, false)
        Player[row.prop] = true
        compare(check.checked, true)
    }

    function test_combosWriteAtOnce_data() {
        return [
            { tag: "snapshot JPEG", name: "snapshotCombo", index: 1, prop: "snapshotPng", value: false,
              key: "prefs/snapshotPng", text: "JPEG (smaller)" },
            { tag: "audio German", name: "audioLanguageCombo", index: 2, prop: "audioLanguage", value: "de",
              key: "prefs/audioLanguage", text: "Deutsch" },
            { tag: "subtitles Chinese", name: "subtitleLanguageCombo", index: 17, prop: "subtitleLanguage",
              value: "zh", key: "prefs/subtitleLanguage", text: "中文" },
        ]
    }

    function test_combosWriteAtOnce(row) {
        pick(row.name, row.index)
        compare(Player[row.prop], row.value)
        compare(stored(row.key), String(row.value))
        compare(ctl(row.name).displayText, row.text)
    }

    function test_propertyChangedElsewhereMovesItsControl() {
        Player.hwDecode = false
        compare(ctl("hwDecodeCheck").checked, false)
        Player.snapshotPng = false
        compare(ctl("snapshotCombo").currentIndex, 1)
        Player.subtitleLanguage = "ja"
        compare(ctl("subtitleLanguageCombo").displayText, "日本語")
        Player.seekStepSeconds = 30
        compare(ctl("seekBox").displayText, "30 s")
    }

    function test_unknownStoredLanguage_data() {
        return [
            { tag: "audio", name: "audioLanguageCombo", prop: "audioLanguage", key: "prefs/audioLanguage" },
            { tag: "subtitles", name: "subtitleLanguageCombo", prop: "subtitleLanguage",
              key: "prefs/subtitleLanguage" },
        ]
    }

    function test_unknownStoredLanguage(row) {
        compare(dialog.langIndex("fi"), 0)
        compare(dialog.langIndex("en"), 1)
        Player[row.prop] = "fi"
        compare(ctl(row.name).displayText, "No preference")
        compare(stored(row.key), "fi")
        // Picking the entry already shown is a pick all the same.
        pick(row.name, 0)
        compare(Player[row.prop], "")
        compare(stored(row.key), "")
    }

    function test_seekBoxReadsTheLeadingNumber_data() {
        return [
            { tag: "with unit", typed: "7 s", value: 7 },
            { tag: "bare number", typed: "7", value: 7 },
            { tag: "letters", typed: "abc", value: 9 },
            { tag: "beyond the range", typed: "500", value: 120 },
        ]
    }

    function test_seekBoxReadsTheLeadingNumber(row) {
        Player.seekStepSeconds = 9
        typeIntoSeekBox(row.typed)
        compare(Player.seekStepSeconds, row.value)
        compare(Number(TestKit.settingsValue("prefs/seekStepSeconds")), row.value)
        compare(ctl("seekBox").displayText, row.value + " s")
    }

    function test_subtitleSizeSlider() {
        const slider = ctl("scaleSlider")
        compare(ctl("scaleLabel").text, "100%")
        Player.subtitleScale = 3.0
        compare(slider.position, 1)
        compare(ctl("scaleLabel").text, "300%")
        osdSpy.clear()

        clickSlider(0.25)
        const written = Player.subtitleScale
        verify(written >= 0.5 && written <= 2.5, written)
        verify(Math.abs(written - 1.0) < 0.06, written)
        // Steps of 0.05, stored as written.
        compare(Math.round(written * 100) % 5, 0)
        compare(Number(TestKit.settingsValue("subtitles/scale")), written)
        compare(ctl("scaleLabel").text, Math.round(written * 100) + "%")
        compare(osdSpy.count, 1)
        compare(osdSpy.signalArguments[0][0], "Subtitle size " + Math.round(written * 100) + "%")
    }

    function test_resetToDefaults() {
        for (const name of ["resumeCheck", "playlistCheck", "hwDecodeCheck", "autoLoadSubtitlesCheck"])
            mouseClick(ctl(name))
        mouseClick(ctl("seekBox").up.indicator)
        pick("snapshotCombo", 1)
        pick("audioLanguageCombo", 3)
        pick("subtitleLanguageCombo", 4)
        clickSlider(0.9)
        compare(Player.seekStepSeconds, 6)
        compare(Player.audioLanguage, "fr")
        compare(Player.subtitleLanguage, "es")
        verify(Player.subtitleScale > 2, Player.subtitleScale)
        verify(!Player.resumePlayback && !Player.rememberPlaylist && !Player.hwDecode
               && !Player.autoLoadSubtitles)
        osdSpy.clear()

        mouseClick(ctl("resetButton"))
        for (const name of ["resumeCheck", "playlistCheck", "hwDecodeCheck", "autoLoadSubtitlesCheck"])
            verify(ctl(name).checked, name)
        compare(ctl("seekBox").value, 5)
        compare(ctl("seekBox").displayText, "5 s")
        compare(ctl("snapshotCombo").displayText, "PNG (lossless)")
        compare(ctl("audioLanguageCombo").displayText, "No preference")
        compare(ctl("subtitleLanguageCombo").displayText, "No preference")
        compare(ctl("scaleLabel").text, "100%")
        compare(ctl("scaleSlider").value, 1)
        verify(dialog.visible)
        compare(osdSpy.signalArguments[osdSpy.count - 1][0], "Preferences reset to defaults")
        compare(TestKit.settingsValue("prefs/seekStepSeconds"), undefined)
    }

    function test_buttonsCloseBeforeTheirSignal_data() {
        return [
            { tag: "library", button: "libraryButton", signal: "openLibrarySettings" },
            { tag: "casting", button: "castingButton", signal: "openCastSettings" },
            { tag: "updates", button: "updatesButton", signal: "checkForUpdates" },
        ]
    }

    function test_buttonsCloseBeforeTheirSignal(row) {
        const seen = []
        const handler = () => seen.push(dialog.visible)
        dialog[row.signal].connect(handler)
        mouseClick(ctl(row.button))
        dialog[row.signal].disconnect(handler)
        compare(seen, [false])
    }

    function test_zScreenshot() {
        Player.audioLanguage = "de"
        Player.subtitleScale = 1.25
        TestKit.waitForFrame(dialog.contentItem)
        verify(TestKit.screenshot(testCase, "PreferencesDialog") !== "")
    }
}
