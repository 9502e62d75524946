import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Window {
    id: root

    // What renderLog() has already turned into display markup; the log only
    // grows during a job, so each change renders just what was appended.
    readonly property var logRenderCache: ({ source: "", consumed: 0, state: null })

    // The log mixes the controller's own markup (red and green font
    // elements, bold) with whatever the tool printed. This turns it into
    // StyledText in which only the controller's markup formats anything:
    // tool output shows as the characters it wrote, every line feed starts a
    // new line, a lone carriage return starts its line over as a terminal
    // does, and ANSI colour codes become colours instead of garbage.
    function renderLog(log) {
        const cache = logRenderCache
        if (cache.state === null || !log.startsWith(cache.source)) {
            cache.consumed = 0
            cache.state = newLogRenderState()
        }
        cache.consumed = consumeLog(cache.state, log, cache.consumed)
        cache.source = log
        return cache.state.committed + cache.state.line + escapeLogTail(log.substring(cache.consumed))
    }

    function newLogRenderState() {
        return {
            committed: "",      // finished lines, each ending in <br>
            finished: [],       // lines finished by the current call
            line: "",           // the current line, markup included
            lineStartTags: [],  // elements open where the current line began
            open: [],           // elements open now: { open, close, kind }
            column: 0,
            lastWasSpace: true,
            pendingReturn: false,
            escape: "",         // an ANSI sequence being read, from ESC on
            ansiColour: "",
            ansiBold: false,
            // Characters that stand for themselves; taken a run at a time.
            plainRun: /[^\x00-\x20<>&\x7f-\x9f\u00a0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000\ufeff]+/y
        }
    }

    // Walks the log from `from` and returns how far it got: a trailing
    // fragment that may still become one of the controller's tags waits for
    // the next call.
    function consumeLog(state, log, from) {
        const consumed = walkLog(state, log, from)
        // Joined once per call: a string grown piece by piece would cost a
        // walk over every piece each time the log is handed to the Text.
        if (state.finished.length > 0) {
            state.committed += state.finished.join("")
            state.finished = []
        }
        return consumed
    }

    function walkLog(state, log, from) {
        // Bold only ever comes from the controller's completion line, as
        // bold around a colour; a bare <b> is the tool's.
        const tags = [
            { text: "<font color='red'>", elements: ["<font color='red'>"] },
            { text: "<font color='green'>", elements: ["<font color='green'>"] },
            { text: "<b><font color='red'>", elements: ["<b>", "<font color='red'>"] },
            { text: "<b><font color='green'>", elements: ["<b>", "<font color='green'>"] },
            { text: "</font>", closes: "font" },
            { text: "</b>", closes: "b" }
        ]
        let i = from
        outer: while (i < log.length) {
            if (state.escape.length === 0 && !state.pendingReturn) {
                state.plainRun.lastIndex = i
                const run = state.plainRun.exec(log)
                if (run !== null) {
                    state.line += run[0]
                    state.column += run[0].length
                    state.lastWasSpace = false
                    i += run[0].length
                    continue
                }
            }
            const ch = log[i]
            if (ch === "<") {
                for (const tag of tags) {
                    if (log.startsWith(tag.text, i)) {
                        if (applyLogTag(state, tag)) {
                            i += tag.text.length
                            continue outer
                        }
                        break
                    }
                    if (log.length - i < tag.text.length && tag.text.startsWith(log.substring(i)))
                        return i
                }
            }
            consumeLogCharacter(state, ch)
            ++i
        }
        return i
    }

    function applyLogTag(state, tag) {
        if (tag.elements !== undefined) {
            for (const open of tag.elements) {
                const kind = open.startsWith("<b>") ? "b" : "font"
                pushLogElement(state, { kind: kind, open: open, close: "</" + kind + ">" })
            }
            return true
        }
        // A closing tag counts only where it closes what the controller
        // opened; a stray one from the tool is shown as text.
        const kind = tag.closes
        let index = state.open.length - 1
        while (index >= 0 && state.open[index].kind === "ansi")
            --index
        if (index < 0 || state.open[index].kind !== kind)
            return false
        closeLogElement(state, index)
        return true
    }

    function pushLogElement(state, element) {
        state.open.push(element)
        state.line += element.open
    }

    // Styled text closes elements in reverse order only: close everything
    // down to the element at index, then open again what stood above it.
    function closeLogElement(state, index) {
        const above = state.open.slice(index + 1)
        for (let k = state.open.length - 1; k >= index; --k)
            state.line += state.open[k].close
        state.open.length = index
        for (const element of above)
            pushLogElement(state, element)
    }

    function consumeLogCharacter(state, ch) {
        if (state.escape.length > 0) {
            consumeLogEscape(state, ch)
            return
        }
        if (state.pendingReturn) {
            state.pendingReturn = false
            if (ch === "\n") {
                endLogLine(state)
                return
            }
            restartLogLine(state)
        }
        const code = ch.charCodeAt(0)
        if (ch === "\n") {
            endLogLine(state)
        } else if (ch === "\r") {
            state.pendingReturn = true
        } else if (code === 0x1b) {
            state.escape = ch
        } else if (ch === "\t") {
            const width = 8 - state.column % 8
            for (let k = 0; k < width; ++k)
                appendLogSpace(state)
        } else if (ch === " ") {
            appendLogSpace(state)
        } else if (code < 0x20 || (code >= 0x7f && code < 0xa0)) {
            // Other control characters have no picture; a NUL would even end
            // the styled text early.
        } else if (code >= 0xa0 && /\s/.test(ch)) {
            state.line += "&nbsp;"
            state.column += 1
            state.lastWasSpace = true
        } else {
            state.line += ch === "<" ? "&lt;" : ch === ">" ? "&gt;" : ch === "&" ? "&amp;" : ch
            state.column += 1
            state.lastWasSpace = false
        }
    }

    // Styled text folds runs of white space; only the first space of a run
    // stays breakable, the others are kept as non-breaking spaces.
    function appendLogSpace(state) {
        state.line += state.lastWasSpace ? "&nbsp;" : " "
        state.column += 1
        state.lastWasSpace = true
    }

    function endLogLine(state) {
        state.finished.push(state.line, "<br>")
        state.line = ""
        state.lineStartTags = state.open.slice()
        state.column = 0
        state.lastWasSpace = true
    }

    function restartLogLine(state) {
        let line = ""
        for (let k = state.lineStartTags.length - 1; k >= 0; --k)
            line += state.lineStartTags[k].close
        for (const element of state.open)
            line += element.open
        // What was open where the line began is still open there: the
        // finished lines before it are not touched.
        state.line = line
        state.column = 0
        state.lastWasSpace = true
    }

    // ESC [ parameters final: colours and bold are kept, everything else
    // (cursor moves, erasing) is dropped. ESC ] ... BEL or ESC \ likewise.
    function consumeLogEscape(state, ch) {
        const sequence = state.escape + ch
        if (state.escape.length === 1) {
            state.escape = (ch === "[" || ch === "]") ? sequence : ""
            return
        }
        if (sequence[1] === "]") {
            const ended = ch === "\u0007" || sequence.endsWith("\u001b\\")
            state.escape = ended ? "" : sequence
            return
        }
        const code = ch.charCodeAt(0)
        if (code >= 0x20 && code < 0x40) {
            state.escape = sequence
            return
        }
        state.escape = ""
        if (ch === "m")
            applyLogGraphicsMode(state, sequence.substring(2, sequence.length - 1))
    }

    function applyLogGraphicsMode(state, parameters) {
        const palette = {
            30: "#808080", 31: "#ff6b6b", 32: "#6bd66b", 33: "#e8c547",
            34: "#6b9bff", 35: "#e07be0", 36: "#5fcfcf", 37: "#e6e6e6",
            90: "#a0a0a0", 91: "#ff8f8f", 92: "#8fef8f", 93: "#fff07a",
            94: "#9bbcff", 95: "#ff9bff", 96: "#8fffff", 97: "#ffffff"
        }
        const values = parameters.length > 0 ? parameters.split(";") : ["0"]
        let colour = state.ansiColour
        let bold = state.ansiBold
        for (let k = 0; k < values.length; ++k) {
            const value = values[k] === "" ? 0 : parseInt(values[k], 10)
            if (value === 0) {
                colour = ""
                bold = false
            } else if (value === 1) {
                bold = true
            } else if (value === 22) {
                bold = false
            } else if (value === 39) {
                colour = ""
            } else if (palette[value] !== undefined) {
                colour = palette[value]
            } else if (value === 38 || value === 48) {
                // Extended colours are not shown; skip their arguments.
                k += values[k + 1] === "5" ? 2 : values[k + 1] === "2" ? 4 : 0
            }
        }
        if (colour === state.ansiColour && bold === state.ansiBold)
            return
        const index = state.open.findIndex(element => element.kind === "ansi")
        if (index >= 0)
            closeLogElement(state, index)
        state.ansiColour = colour
        state.ansiBold = bold
        if (colour === "" && !bold)
            return
        const open = (colour !== "" ? "<font color='" + colour + "'>" : "") + (bold ? "<b>" : "")
        const close = (bold ? "</b>" : "") + (colour !== "" ? "</font>" : "")
        pushLogElement(state, { kind: "ansi", open: open, close: close })
    }

    // Text that cannot be judged yet is shown as it stands, as plain text.
    function escapeLogTail(tail) {
        return tail.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
    }

    width: 800
    height: 520
    visible: true
    title: qsTr("ESP32-S3 Velmorin")

    RowLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 15

        ColumnLayout {
            id: controlColumn

            Layout.fillHeight: true
            Layout.preferredWidth: root.width * 0.6
            spacing: 15

            GridLayout {
                Layout.fillWidth: true
                columns: 3

                Label {
                    text: "Device:"
                }

                ComboBox {
                    id: deviceComboBox

                    Layout.fillWidth: true
                    Layout.columnSpan: 2
                    model: flashController.deviceProfiles
                }

                Label {
                    text: "Com:"
                }

                ComboBox {
                    id: portComboBox

                    Layout.fillWidth: true
                    model: flashController.availablePorts.length > 0 ? flashController.availablePorts
                                                                     : ["Device not found"]
                }

                Button {
                    text: "Refresh Com"
                    onClicked: {
                        // A new list starts at its first entry; the next
                        // click would flash whatever board that is.
                        const chosenPort = portComboBox.currentText
                        flashController.refreshPorts()
                        const stillThere = portComboBox.find(chosenPort)
                        if (stillThere !== -1)
                            portComboBox.currentIndex = stillThere
                    }
                }
            }

            Button {
                id: flashButton

                text: flashController.isFlashing ? "Flashing..." : "Start Flashing"
                highlighted: true
                enabled: !flashController.isFlashing && portComboBox.currentIndex !== -1
                         && deviceComboBox.currentIndex !== -1
                Layout.fillWidth: true
                Layout.minimumHeight: 40
                onClicked: flashController.startFlash(deviceComboBox.currentText, portComboBox.currentText)
            }

            Label {
                text: "Log:"
            }

            ScrollView {
                id: logScrollView

                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true

                background: Rectangle {
                    color: "#2B2B2B"
                    border.color: "gray"
                }

                Item {
                    // ScrollView sizes its content from the implicit size.
                    width: logScrollView.availableWidth
                    height: logText.implicitHeight
                    implicitWidth: logScrollView.availableWidth
                    implicitHeight: logText.implicitHeight

                    Text {
                        id: logText

                        width: parent.width
                        text: root.renderLog(flashController.flashOutput)
                        textFormat: Text.StyledText
                        color: "white"
                        font.family: "Monospace"
                        wrapMode: Text.WordWrap
                        onTextChanged: scrollTimer.restart()
                    }

                    Timer {
                        id: scrollTimer

                        interval: 1
                        repeat: false
                        onTriggered: {
                            const bar = logScrollView.ScrollBar.vertical
                            if (bar)
                                bar.position = Math.max(0, 1.0 - bar.size)
                        }
                    }
                }
            }
        }

        Rectangle {
            id: imageContainer

            Layout.fillHeight: true
            Layout.preferredWidth: root.width * 0.4
            color: "#2B2B2B"
            border.color: "gray"

            Image {
                id: productImage

                // The picture of the current selection, and the one that
                // failed to load, so that a broken file empties the pane
                // until another profile is chosen.
                readonly property string picture: flashController.getImagePathForProfile(deviceComboBox.currentText)
                property string brokenPicture: ""

                anchors.fill: parent
                anchors.margins: 5
                source: picture === brokenPicture ? "" : picture
                fillMode: Image.PreserveAspectFit
                onPictureChanged: brokenPicture = ""
                // Later, not while the source binding itself is being set.
                onStatusChanged: {
                    if (status === Image.Error)
                        Qt.callLater(() => brokenPicture = picture)
                }
            }
        }
    }

    Connections {
        target: flashController

        function onFlashSucceeded() {
            successDialog.open()
        }

        function onFlashFailed(reason) {
            failureDialog.contentText = "Flashing failed: " + reason
            failureDialog.open()
        }
    }

    Dialog {
        id: successDialog

        width: root.width / 2
        title: "Succeed"
        standardButtons: Dialog.Ok

        contentItem: Label {
            text: "Firmware flash successful！"
            wrapMode: Text.WordWrap
        }
    }

    Dialog {
        id: failureDialog

        property alias contentText: errorLabel.text

        width: root.width * 0.8
        title: "Error"
        standardButtons: Dialog.Ok

        contentItem: Label {
            id: errorLabel

            text: "Unknowed error occured"
            wrapMode: Text.WordWrap
        }
    }
}
