import Qt.labs.settings

// The one place that names the QML settings type: Qt 6.4 has only the labs module, and a later move to
// QtCore's Settings changes this file alone. Stored under the organisation and application names set at start.
Settings {
}
