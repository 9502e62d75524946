import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Window {
    id: root

    // The log pane's own record of the log: the lines it shows, as display
    // markup, and what it needs to take the next change of the log.
    readonly property var logView: newLogView()
    // When the pane was last given its text, and how the log changed since.
    readonly property var logPacing: ({
        dirty: false,           // changed since the pane was last given its text
        nextShow: 0,            // when a flood lets the pane be given its text again
        changedSinceFrame: false,
        changedBeforeLastFrame: false,
        shownSinceFrame: false
    })

    // How much of the log the pane lays out (the whole log stays in the
    // controller). Text layout costs time in proportion to the text on every
    // change shown: a full pane of 512 KiB takes about 80 ms here, so a click
    // waits at most that long even during a flood, and 10,000 lines hold far
    // more than a whole flash writes (bench/README.md).
    readonly property int logShownLines: 10000
    readonly property int logShownCharacters: 524288
    readonly property int logLineLength: 10000
    readonly property int logEscapeLength: 256

    // Characters that stand for themselves, single spaces between them
    // included; taken a run at a time.
    readonly property var logPlainRun: /[^\x00-\x20<>&\x7f-\xa0\u061c\u1680\u2000-\u200a\u200e\u200f\u2028-\u202f\u205f\u2066-\u2069\u3000\ufeff]+(?: [^\x00-\x20<>&\x7f-\xa0\u061c\u1680\u2000-\u200a\u200e\u200f\u2028-\u202f\u205f\u2066-\u2069\u3000\ufeff]+)*/y
    readonly property var logCompletionLine: /^\n<b><font color='(red|green)'>([\s\S]*)<\/font><\/b>$/
    // What only the character-by-character path handles: control and
    // special characters, and spaces that styled text would fold.
    readonly property var logSlowText: /[\x00-\x09\x0b-\x1f\x7f-\xa0\u061c\u1680\u2000-\u200a\u200e\u200f\u2028-\u202f\u205f\u2066-\u2069\u3000\ufeff]|  |\n /
    readonly property var logStyleTags: ({})

    // The log mixes the controller's markup (a red element around each
    // standard-error read, a bold coloured completion line) with what the
    // tool wrote. The log string cannot tell the two apart, but each change
    // of it is exactly one thing: the launch line after the log was cleared,
    // one stdout read, one stderr read in its red element, or the completion
    // line that follows the result signal. Taken change by change, only the
    // controller's markup formats anything; the tool's text shows as the
    // characters it wrote, and its ANSI colours as colours.
    function takeLogChange(log) {
        const view = logView
        if (log.length === 0) {
            Object.assign(view, newLogView())
        } else if (log.length < view.seen || view.seen === 0 && !view.expectLaunch) {
            renderWholeLog(log)
        } else {
            const change = log.substring(view.seen)
            view.seen = log.length
            const completion = view.resultAnnounced ? logCompletionLine.exec(change) : null
            if (view.expectLaunch) {
                view.expectLaunch = false
                feedLog(view, change, view.out)
            } else if (completion !== null) {
                feedLogCompletion(view, completion[1], completion[2])
            } else if (change.startsWith("<font color='red'>") && change.endsWith("</font>")) {
                feedLog(view, change.slice(18, -7), view.err)
            } else {
                feedLog(view, change, view.out)
            }
        }
        logPacing.dirty = true
        logPacing.changedSinceFrame = true
        showLogChange()
    }

    // A window created after a job began sees the whole log at once. Its
    // pieces are told apart by the controller's tags alone, so there tool
    // text that copies a tag byte for byte can still colour text.
    function renderWholeLog(log) {
        const view = logView
        Object.assign(view, newLogView())
        view.expectLaunch = false
        view.seen = log.length
        const pieces = /<font color='red'>([\s\S]*?)<\/font>|\n<b><font color='(red|green)'>([\s\S]*)<\/font><\/b>$/g
        let at = 0
        for (let piece = pieces.exec(log); piece !== null; piece = pieces.exec(log)) {
            feedLog(view, log.substring(at, piece.index), view.out)
            if (piece[1] !== undefined)
                feedLog(view, piece[1], view.err)
            else
                feedLogCompletion(view, piece[2], piece[3])
            at = pieces.lastIndex
        }
        feedLog(view, log.substring(at), view.out)
    }

    function newLogView() {
        return {
            seen: 0,                // length of the log taken in
            expectLaunch: true,     // the next change is the launch line
            resultAnnounced: false, // the next change may be the completion line
            lines: [],              // finished lines, display markup
            lineSizes: [],          // the log characters each of them holds
            first: 0,               // lines before this one are not shown any more
            shownCharacters: 0,
            droppedLines: 0,
            droppedCharacters: 0,
            runs: [],               // the current line: [style, markup] pairs
            column: 0,
            cut: 0,                 // characters of the current line left out
            lastWasSpace: true,
            pendingReturn: false,
            out: newLogChannel(""),
            err: newLogChannel("red")
        }
    }

    // Escape sequences and colours are kept per output channel: a sequence
    // cut between two stdout reads goes on in the next stdout read, and a
    // stderr read in between never sees it.
    function newLogChannel(colour) {
        return { colour: colour, escape: "", ansiColour: "", ansiBold: false }
    }

    function feedLogCompletion(view, colour, text) {
        view.resultAnnounced = false
        // The tool's output has ended, and with it any sequence it began.
        view.out.escape = ""
        view.err.escape = ""
        feedLog(view, "\n", view.out)
        feedLog(view, text, null, colour + "|b")
    }

    // Takes text of one channel (null: the controller's own, in the given
    // style) into the view.
    function feedLog(view, text, channel, fixedStyle) {
        if ((channel === null || channel.escape.length === 0) && !view.pendingReturn && !logSlowText.test(text)
                && !(text[0] === " " && view.lastWasSpace)) {
            feedLogQuickly(view, text, channel === null ? fixedStyle : logChannelStyle(channel))
            return
        }
        let i = 0
        while (i < text.length) {
            if (channel !== null && channel.escape.length > 0) {
                i = continueLogEscape(channel, text, i)
                continue
            }
            if (view.pendingReturn) {
                view.pendingReturn = false
                if (text[i] === "\n") {
                    endLogLine(view)
                    ++i
                    continue
                }
                restartLogLine(view)
            }
            const style = channel === null ? fixedStyle : logChannelStyle(channel)
            logPlainRun.lastIndex = i
            const run = logPlainRun.exec(text)
            if (run !== null) {
                putLogText(view, style, run[0], run[0].length)
                i += run[0].length
                continue
            }
            const ch = text[i]
            const code = text.charCodeAt(i)
            ++i
            if (ch === "\n") {
                endLogLine(view)
            } else if (ch === "\r") {
                view.pendingReturn = true
            } else if (code === 0x1b) {
                if (channel !== null)
                    channel.escape = ch
            } else if (ch === "\t") {
                for (let stop = 8 - view.column % 8; stop > 0; --stop)
                    putLogSpace(view, style)
            } else if (ch === " ") {
                putLogSpace(view, style)
            } else if (ch === "<" || ch === ">" || ch === "&") {
                putLogText(view, style, ch === "<" ? "&lt;" : ch === ">" ? "&gt;" : "&amp;", 1)
            } else if (code >= 0xa0 && /\s/.test(ch)) {
                putLogText(view, style, "&nbsp;", 1)
                view.lastWasSpace = true
            }
            // Other control characters have no picture (a NUL would even end
            // the styled text), and direction controls would reorder what
            // follows them: both are left out.
        }
    }

    function logChannelStyle(channel) {
        return (channel.ansiColour || channel.colour) + (channel.ansiBold ? "|b" : "|")
    }

    // Most output is lines of ordinary characters. Those are taken a read at
    // a time, with string functions the engine runs natively, so that a flood
    // of output costs little more than reading it.
    function feedLogQuickly(view, text, style) {
        const raw = text.split("\n")
        const markup = (/[<>&]/.test(text) ? text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
                                          : text).split("\n")
        putLogRaw(view, style, raw[0], markup[0])
        const last = raw.length - 1
        if (last === 0)
            return
        endLogLine(view)
        let complete = raw.slice(1, last)
        if (complete.some(line => line.length > logLineLength)) {
            for (let k = 1; k < last; ++k) {
                putLogRaw(view, style, raw[k], markup[k])
                endLogLine(view)
            }
        } else if (complete.length > 0) {
            const tags = logTagsOf(style)
            let lines = markup.slice(1, last)
            if (tags[0] !== "")
                lines = lines.map(line => line.length > 0 ? tags[0] + line + tags[1] : line)
            view.lines = view.lines.concat(lines)
            view.lineSizes = view.lineSizes.concat(complete.map(line => line.length))
            view.shownCharacters += text.length - raw[0].length - raw[last].length - 1
            dropLogLines(view)
        }
        putLogRaw(view, style, raw[last], markup[last])
    }

    // Puts a piece of a line that holds no line feed: raw as written, and its
    // markup, both cut where the line reaches its length.
    function putLogRaw(view, style, raw, markup) {
        if (raw.length === 0)
            return
        const room = logLineLength - view.column
        if (raw.length > room) {
            view.cut += raw.length - Math.max(room, 0)
            if (room <= 0)
                return
            // Never half a surrogate pair.
            const end = room - (/[\ud800-\udbff]/.test(raw[room - 1]) ? 1 : 0)
            view.cut += room - end
            raw = raw.substring(0, end)
            markup = raw.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
        }
        putLogText(view, style, markup, raw.length)
        view.lastWasSpace = raw.endsWith(" ")
    }

    function logTagsOf(style) {
        let tags = logStyleTags[style]
        if (tags === undefined) {
            const [colour, bold] = style.split("|")
            tags = [(colour !== "" ? "<font color='" + colour + "'>" : "") + (bold === "b" ? "<b>" : ""),
                    (bold === "b" ? "</b>" : "") + (colour !== "" ? "</font>" : "")]
            logStyleTags[style] = tags
        }
        return tags
    }

    // An escape sequence ends at its final character, at a line feed, or
    // after logEscapeLength characters; only the sequence itself is left
    // out. Colours and bold are kept; cursor moves, erasing, titles and
    // character sets are not shown. Returns where the text goes on.
    function continueLogEscape(channel, text, i) {
        const ch = text[i]
        const code = text.charCodeAt(i)
        const sequence = channel.escape
        if (ch === "\n" || sequence.length >= logEscapeLength) {
            channel.escape = ""
            return i
        }
        if (sequence.length === 1) {
            channel.escape = "[]PX^_".includes(ch) || code >= 0x20 && code <= 0x2f ? sequence + ch : ""
            // ESC and one final character (ESC 7, ESC =) is a whole sequence;
            // anything else was no sequence and is text again.
            return channel.escape !== "" || code >= 0x30 && code <= 0x7e ? i + 1 : i
        }
        const kind = sequence[1]
        if (kind === "[") {
            if (code >= 0x20 && code <= 0x3f) {
                channel.escape = sequence + ch
                return i + 1
            }
            channel.escape = ""
            if (ch === "m")
                applyLogGraphicsMode(channel, sequence.substring(2))
            return code >= 0x40 && code <= 0x7e ? i + 1 : i
        }
        if ("]PX^_".includes(kind)) {
            // A string, ended by BEL or by ESC \; ESC and anything else
            // begins the next sequence.
            if (sequence.endsWith("\u001b")) {
                channel.escape = ch === "\\" ? "" : "\u001b"
                return ch === "\\" ? i + 1 : i
            }
            channel.escape = ch === "\u0007" || ch === "\u009c" ? "" : sequence + ch
            return i + 1
        }
        // ESC, characters that select (a character set, ...), a final one.
        channel.escape = code >= 0x20 && code <= 0x2f ? sequence + ch : ""
        return channel.escape !== "" || code >= 0x30 && code <= 0x7e ? i + 1 : i
    }

    function applyLogGraphicsMode(channel, parameters) {
        const palette = {
            30: "#808080", 31: "#ff6b6b", 32: "#6bd66b", 33: "#e8c547",
            34: "#6b9bff", 35: "#e07be0", 36: "#5fcfcf", 37: "#e6e6e6",
            90: "#a0a0a0", 91: "#ff8f8f", 92: "#8fef8f", 93: "#fff07a",
            94: "#9bbcff", 95: "#ff9bff", 96: "#8fffff", 97: "#ffffff"
        }
        const values = parameters.length > 0 ? parameters.split(";") : ["0"]
        for (let k = 0; k < values.length; ++k) {
            const value = values[k] === "" ? 0 : parseInt(values[k], 10)
            if (value === 0) {
                channel.ansiColour = ""
                channel.ansiBold = false
            } else if (value === 1) {
                channel.ansiBold = true
            } else if (value === 22) {
                channel.ansiBold = false
            } else if (value === 39) {
                channel.ansiColour = ""
            } else if (palette[value] !== undefined) {
                channel.ansiColour = palette[value]
            } else if (value === 38 || value === 48) {
                // Extended colours are not shown; skip their arguments.
                k += values[k + 1] === "5" ? 2 : values[k + 1] === "2" ? 4 : 0
            }
        }
    }

    // Appends text of the given width to the current line, up to the
    // length a line is shown to.
    function putLogText(view, style, markup, width) {
        const room = logLineLength - view.column
        if (width > room) {
            view.cut += width - Math.max(room, 0)
            if (room <= 0 || markup.length !== width)
                return
            // Never half a surrogate pair.
            const end = room - (/[\ud800-\udbff]/.test(markup[room - 1]) ? 1 : 0)
            view.cut += room - end
            markup = markup.substring(0, end)
            width = end
        }
        const runs = view.runs
        if (runs.length > 0 && runs[runs.length - 1][0] === style)
            runs[runs.length - 1][1] += markup
        else
            runs.push([style, markup])
        view.column += width
        view.lastWasSpace = false
    }

    // Styled text folds runs of white space; only the first space of a run
    // stays breakable, the others are kept as non-breaking spaces.
    function putLogSpace(view, style) {
        const first = !view.lastWasSpace
        putLogText(view, style, first ? " " : "&nbsp;", 1)
        view.lastWasSpace = true
    }

    function restartLogLine(view) {
        view.runs = []
        view.column = 0
        view.cut = 0
        view.lastWasSpace = true
    }

    function endLogLine(view) {
        view.lines.push(logLineMarkup(view))
        view.lineSizes.push(view.column + view.cut)
        view.shownCharacters += view.column + 1
        restartLogLine(view)
        dropLogLines(view)
    }

    // Lines beyond the limits are dropped from the front, a batch at a time
    // so that the arrays are not shifted for every line.
    function dropLogLines(view) {
        while (view.lines.length - view.first > logShownLines || view.shownCharacters > logShownCharacters) {
            const size = view.lineSizes[view.first]
            view.shownCharacters -= Math.min(size, logLineLength) + 1
            view.droppedCharacters += size + 1
            view.droppedLines += 1
            view.first += 1
        }
        if (view.first > 4096 && view.first * 2 > view.lines.length) {
            view.lines.splice(0, view.first)
            view.lineSizes.splice(0, view.first)
            view.first = 0
        }
    }

    function logLineMarkup(view) {
        let markup = ""
        for (const [style, text] of view.runs) {
            const tags = logTagsOf(style)
            markup += tags[0] + text + tags[1]
        }
        if (view.cut > 0)
            markup += "<font color='#a0a0a0'> … " + view.cut + " more characters not shown</font>"
        return markup
    }

    // What the pane shows: the last lines within the limits, and in front of
    // them how much earlier output it leaves out.
    function logDisplay(view) {
        let display = ""
        if (view.droppedLines > 0) {
            display = "<font color='#a0a0a0'>… " + view.droppedLines + " earlier lines ("
                    + view.droppedCharacters + " characters) not shown …</font><br>"
        }
        if (view.lines.length > view.first)
            display += view.lines.slice(view.first).join("<br>") + "<br>"
        return display + logLineMarkup(view)
    }

    // A result signal is followed at once, in the same call, by the
    // completion line; a refused start has none. Any later change is the
    // tool's.
    function expectLogCompletion() {
        logView.resultAnnounced = true
        Qt.callLater(() => logView.resultAnnounced = false)
    }

    // The log is laid out at most once a frame, however often it changes:
    // a change after a quiet frame is shown at once, further changes with
    // the next frame. While the log keeps changing from frame to frame, a
    // costly layout is followed by a pause of three times its cost, so that
    // a flood of output leaves the window most of its time for reading the
    // output and for the user. Once the log rests, it is shown at once.
    function showLogChange() {
        if (!logPacing.shownSinceFrame && !logPacing.changedBeforeLastFrame)
            showLogNow()
        else
            root.update()
    }

    function showLogAtFrame() {
        const pacing = logPacing
        const flooding = pacing.changedSinceFrame && pacing.changedBeforeLastFrame
        const shownSinceFrame = pacing.shownSinceFrame
        pacing.changedBeforeLastFrame = pacing.changedSinceFrame
        pacing.changedSinceFrame = false
        pacing.shownSinceFrame = false
        if (!pacing.dirty)
            return
        // A frame asked for while one is drawn can be lost; ask once it is.
        if (shownSinceFrame || flooding && Date.now() < pacing.nextShow)
            Qt.callLater(root.update)
        else
            showLogNow()
    }

    function showLogNow() {
        const start = Date.now()
        logPacing.dirty = false
        logPacing.shownSinceFrame = true
        logText.text = logDisplay(logView)
        logPacing.nextShow = Date.now() + 3 * (Date.now() - start)
    }

    width: 800
    height: 520
    visible: true
    title: qsTr("ESP32-S3 Velmorin")
    onAfterAnimating: showLogAtFrame()
    // A window opened while a job runs, or after it, shows its log so far.
    Component.onCompleted: {
        if (flashController.flashOutput.length > 0) {
            logView.expectLaunch = false
            takeLogChange(flashController.flashOutput)
        }
    }

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
                    // The window must name the board and the profile it is
                    // flashing until the job ends.
                    enabled: !flashController.isFlashing
                    model: flashController.deviceProfiles
                }

                Label {
                    text: "Com:"
                }

                ComboBox {
                    id: portComboBox

                    // The board the user means. While it is unplugged no port
                    // is chosen, rather than another station's board in its
                    // place (a new list starts at its first entry), and it is
                    // chosen again once it is back.
                    property string wantedPort: ""

                    function refreshKeepingTheWantedPort() {
                        if (currentIndex !== -1 && flashController.availablePorts.length > 0)
                            wantedPort = currentText
                        flashController.refreshPorts()
                        if (flashController.availablePorts.length === 0)
                            currentIndex = 0
                        else if (wantedPort !== "")
                            currentIndex = find(wantedPort)
                    }

                    Layout.fillWidth: true
                    enabled: !flashController.isFlashing
                    model: flashController.availablePorts.length > 0 ? flashController.availablePorts
                                                                     : ["Device not found"]
                    displayText: currentIndex === -1 && wantedPort !== "" ? wantedPort + " is gone: pick a port"
                                                                          : currentText
                }

                Button {
                    text: "Refresh Com"
                    enabled: !flashController.isFlashing
                    onClicked: portComboBox.refreshKeepingTheWantedPort()
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

                        // Given its text by showLog(), once a frame at most.
                        width: parent.width
                        textFormat: Text.StyledText
                        color: "white"
                        font.family: "Monospace"
                        // A word wider than the pane (a long path, a line of
                        // dots) is broken rather than cut off at its edge.
                        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
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

        function onFlashOutputChanged() {
            root.takeLogChange(flashController.flashOutput)
        }

        function onFlashSucceeded() {
            root.expectLogCompletion()
            successDialog.open()
        }

        function onFlashFailed(reason) {
            root.expectLogCompletion()
            failureDialog.contentText = "Flashing failed: " + reason
            failureDialog.open()
        }
    }

    Dialog {
        id: successDialog

        width: root.width / 2
        title: "Succeed"
        standardButtons: Dialog.Ok
        // The style's title label elides, and with eliding every new width
        // announces a new implicit height. While the window is resized, that
        // reaches the dialog's implicitHeight in the middle of its own
        // evaluation: "Binding loop detected". The titles are single short
        // words, so there is nothing to elide.
        Component.onCompleted: header.elide = Text.ElideNone

        contentItem: Label {
            text: "Firmware flash successful！"
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
        }
    }

    Dialog {
        id: failureDialog

        property alias contentText: errorLabel.text

        width: root.width * 0.8
        title: "Error"
        standardButtons: Dialog.Ok
        Component.onCompleted: header.elide = Text.ElideNone

        contentItem: Label {
            id: errorLabel

            text: "Unknowed error occured"
            // The reason may hold a path, which may hold anything.
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
        }
    }
}
