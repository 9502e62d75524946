import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Window {
    id: root

    width: 800
    height: 520
    visible: true
    title: qsTr("ESP32-S3 Velmorin")
    onAfterAnimating: logRenderer.showAtFrame()
    // A window opened while a job runs, or after it, shows its log so far.
    Component.onCompleted: logRenderer.takeWholeLog(flashController.flashOutput)

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
                    // A keyboard user starts where the job starts.
                    focus: true
                    // A screen reader names what is chosen, not only the value.
                    Accessible.name: "Device: " + displayText
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
                    Accessible.name: "Com: " + displayText
                }

                Button {
                    text: "Refresh Com"
                    enabled: !flashController.isFlashing
                    onClicked: portComboBox.refreshKeepingTheWantedPort()
                    // Space presses a button; a keyboard user tries Enter too.
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
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
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
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
                    // Whether the pane shows the end of the log. A new width
                    // or height keeps it there; the log's own changes always
                    // bring it back.
                    property bool showsEnd: true
                    // What a screen reader reads as the pane's text: styled
                    // text's markup would be read out tag by tag.
                    readonly property string text: logText.plainText

                    // ScrollView sizes its content from the implicit size.
                    width: logScrollView.availableWidth
                    height: logText.implicitHeight
                    implicitWidth: logScrollView.availableWidth
                    implicitHeight: logText.implicitHeight
                    Accessible.role: Accessible.EditableText
                    Accessible.readOnly: true
                    Accessible.multiLine: true
                    Accessible.name: "Log"

                    Text {
                        id: logText

                        // What the pane shows, without its markup.
                        property string plainText: ""

                        // Given its text by logRenderer, once a frame at most.
                        width: parent.width
                        textFormat: Text.StyledText
                        color: "white"
                        font.family: "Monospace"
                        // A word wider than the pane (a long path, a line of
                        // dots) is broken rather than cut off at its edge.
                        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                        onTextChanged: scrollTimer.restart()
                        onHeightChanged: {
                            if (parent.showsEnd)
                                scrollTimer.restart()
                        }
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

                    Connections {
                        target: logScrollView.contentItem

                        function onContentYChanged() {
                            const view = logScrollView.contentItem
                            logText.parent.showsEnd = view.contentY + view.height >= view.contentHeight - 1
                        }

                        function onHeightChanged() {
                            if (logText.parent.showsEnd)
                                scrollTimer.restart()
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
                // Read and decoded beside the window's thread: the window is
                // drawn before the image plugins are loaded.
                asynchronous: true
                onPictureChanged: brokenPicture = ""
                // Later, not while the source binding itself is being set.
                onStatusChanged: {
                    if (status === Image.Error)
                        Qt.callLater(() => brokenPicture = picture)
                }
                Accessible.role: Accessible.Graphic
                Accessible.name: (status === Image.Ready ? "Picture of " : "No picture of ") + deviceComboBox.currentText
            }
        }
    }

    Connections {
        target: flashController

        function onFlashOutputChanged() {
            logRenderer.takeChange(flashController.flashOutput)
        }

        function onFlashSucceeded() {
            logRenderer.expectCompletion()
            successDialog.open()
        }

        function onFlashFailed(reason) {
            logRenderer.expectCompletion()
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
        // The job it reports left nothing focused (the controls were
        // disabled); the next job starts at Start Flashing.
        onClosed: flashButton.forceActiveFocus()

        contentItem: Label {
            text: "Firmware flash successful！"
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            // Open, the dialog has the keyboard: its text is the focused line
            // a screen reader reads, and Enter closes it as Escape does.
            focus: true
            Keys.onReturnPressed: successDialog.accept()
            Keys.onEnterPressed: successDialog.accept()
        }
    }

    Dialog {
        id: failureDialog

        property alias contentText: errorLabel.text

        width: root.width * 0.8
        title: "Error"
        standardButtons: Dialog.Ok
        Component.onCompleted: header.elide = Text.ElideNone
        onClosed: flashButton.forceActiveFocus()

        contentItem: Label {
            id: errorLabel

            text: "Unknowed error occured"
            // The reason may hold a path, which may hold anything.
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            focus: true
            Keys.onReturnPressed: failureDialog.accept()
            Keys.onEnterPressed: failureDialog.accept()
        }
    }

    // The log pane's renderer. It takes each change of the log as it comes,
    // keeps the lines the pane shows as display markup, and gives the pane
    // its text at most once a frame. Its parts, in order: limits and
    // palette; telling the changes of the log apart; the line model; escape
    // sequences and colours; display and pacing.
    readonly property QtObject logRenderer: QtObject {

        // ---- Limits and palette ----------------------------------------

        // Laying text out costs time in proportion to the markup shown, and
        // about three times as much for characters beyond Latin-1 (Chinese,
        // right-to-left scripts, what invalid UTF-8 decodes to). The pane
        // shows the last lines within these bounds, so that a click waits at
        // most for one such layout, even during a flood: a full pane of
        // plain text takes about 50 ms here (bench/README.md). The whole
        // log stays in the controller.
        readonly property int shownLines: 10000
        readonly property int layoutBudget: 262144
        readonly property int wideCharacterCost: 3
        readonly property int lineLength: 10000
        readonly property int sequenceLength: 256
        readonly property int tabWidth: 8
        // Lines that are no longer shown leave the arrays in batches.
        readonly property int compactionBatch: 4096
        // While the log changes from frame to frame, a layout is followed by
        // a pause of this many times its cost, so that a flood leaves the
        // window most of its time for reading the output and for the user.
        readonly property int floodPause: 3
        // Work of this many milliseconds is worth a turn of the event loop.
        readonly property int longTurn: 20
        readonly property string lineBreak: "<br>"
        // What a colour sequence's tags add to a line: <font color='#rrggbb'>
        // and </font>.
        readonly property int colourTagsCost: 29

        // Every colour reads at 4.5:1 or better on the pane's #2B2B2B. The
        // verdict is the only bold text, in colours no tool text is drawn in.
        readonly property var palette: ({
            standardError: "#ff6b6b",
            success: "#5fd75f",
            failure: "#ff7b7b",
            note: "#a0a0a0"
        })
        // ANSI colours 30-37, then their bright forms 90-97. Bold tool text
        // is drawn bright, as many terminals draw it, and never bold.
        readonly property var ansiColours: ["#999999", "#ff6b6b", "#6bd66b", "#e8c547", "#6b9bff", "#e07be0",
                                            "#5fcfcf", "#e6e6e6", "#b0b0b0", "#ff8f8f", "#8fef8f", "#fff07a",
                                            "#9bbcff", "#ff9bff", "#8fffff", "#ffffff"]
        // The completion line's colours as the log names them.
        readonly property var verdictColours: ({ green: palette.success, red: palette.failure })
        readonly property var styles: ({})
        // esptool's reason for a failure, on whichever channel it comes.
        readonly property var errorLinePrefixes: ["A fatal error occurred:", "A serial exception error occurred:"]
        readonly property int errorLineHead: Math.max(...errorLinePrefixes.map(prefix => prefix.length))

        // Characters the pane leaves out: controls (but tab, line feed and
        // CR, which move the text) and the marks that would reorder a line.
        readonly property var invisibleCharacters: /[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]/g
        // White space that styled text would fold away: the kinds of space
        // other than the plain one, two spaces in a row, a space at the
        // start of a line.
        readonly property string otherSpaces: "\u00a0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000\ufeff"
        readonly property var otherSpace: new RegExp("[" + otherSpaces + "]", "g")
        readonly property var spaceAtEnd: new RegExp("[ " + otherSpaces + "]$")
        readonly property var twoSpaces: / {2}/g
        readonly property var spaceAtLineStart: /^ /gm
        readonly property var surrogate: /[\ud800-\udfff]/
        readonly property var surrogatePairs: /[\ud800-\udbff][\udc00-\udfff]/g
        readonly property var escapeCharacter: /\u001b/g
        readonly property var wideCharacter: /[^\x00-\xff]/
        readonly property var narrowCharacters: /[\x00-\xff]+/g
        // The common colour sequence, whole in one read, is taken at once;
        // anything else goes through the sequence table below.
        readonly property var graphicsSequence: /\u001b\[([0-9;]*)m/y
        // A colour sequence that may set the weight (reset, bold, normal).
        readonly property var boldSequence: /\u001b\[(?:[0-9]*;)*(?:0*1?|0*22)(?:;[0-9;]*)?m/

        // ---- Telling the changes of the log apart ------------------------

        // The log mixes the controller's markup (a red element around each
        // standard-error read, a bold coloured completion line) with what
        // the tool wrote, and the string alone cannot tell them apart. Each
        // change of it is one thing: the launch line after the log was
        // cleared, one stdout read, one stderr read in its red element, or
        // the completion line right after the result signal. Taken change by
        // change, only the controller's markup formats anything.
        readonly property var view: newView()
        readonly property string errorOpen: "<font color='red'>"
        readonly property string errorClose: "</font>"
        readonly property var errorElement: new RegExp(errorOpen + "([\\s\\S]*?)" + errorClose, "g")
        readonly property string completionStart: "\n<b><font color='"
        readonly property var completionLine: new RegExp("^" + completionStart + "(red|green)'>([\\s\\S]*)</font></b>$")

        function takeChange(log) {
            if (log.length === 0) {
                Object.assign(view, newView())
            } else if (log.length < view.seen || view.seen === 0 && !view.expectLaunch) {
                takeWholeLog(log)
                return
            } else {
                const change = log.substring(view.seen)
                view.seen = log.length
                const completion = view.resultAnnounced ? completionLine.exec(change) : null
                if (view.expectLaunch) {
                    view.expectLaunch = false
                    queue(view.out, change)
                } else if (completion !== null) {
                    queueCompletion(completion[1], completion[2])
                } else if (change.startsWith(errorOpen) && change.endsWith(errorClose)) {
                    queue(view.err, change.slice(errorOpen.length, -errorClose.length))
                } else {
                    queue(view.out, change)
                }
            }
            showChange()
        }

        // A window created after a job began sees the whole log at once and
        // tells its pieces apart by the controller's tags. While the job runs
        // there is no completion line yet, so only a finished job's log ends
        // in one; tool text that copies a red element byte for byte is still
        // taken as standard error.
        function takeWholeLog(log) {
            Object.assign(view, newView())
            view.expectLaunch = log.length === 0
            view.seen = log.length
            const completionAt = flashController.isFlashing ? -1 : log.lastIndexOf(completionStart)
            const completion = completionAt < 0 ? null : completionLine.exec(log.substring(completionAt))
            const output = completion === null ? log : log.substring(0, completionAt)
            errorElement.lastIndex = 0
            let at = 0
            for (let piece = errorElement.exec(output); piece !== null; piece = errorElement.exec(output)) {
                queue(view.out, output.substring(at, piece.index))
                queue(view.err, piece[1])
                at = errorElement.lastIndex
            }
            queue(view.out, output.substring(at))
            if (completion !== null)
                queueCompletion(completion[1], completion[2])
            showChange()
        }

        // A result signal is followed at once, in the same call, by the
        // completion line; a refused start has none. Any later change is the
        // tool's.
        function expectCompletion() {
            view.resultAnnounced = true
            Qt.callLater(() => view.resultAnnounced = false)
        }

        function queue(channel, text) {
            if (text.length > 0)
                view.pending.push({ channel: channel, text: text })
        }

        // The tool's output has ended, and with it any sequence it began.
        function queueCompletion(colourName, text) {
            view.pending.push({ channel: null, text: "\n" + text, style: styleOf(verdictColours[colourName], true) })
        }

        function newView() {
            return {
                seen: 0,                // length of the log taken in
                expectLaunch: true,     // the next change is the launch line
                resultAnnounced: false, // the next change may be the completion line
                pending: [],            // reads taken in but not rendered yet
                lines: [],              // finished lines, as display markup
                lineSizes: [],          // characters each of them held in the log
                lineCosts: [],          // what laying each of them out costs
                first: 0,               // lines before this one are no longer shown
                shownCost: 0,
                shownSize: 0,
                droppedLines: 0,
                droppedCharacters: 0,
                line: newLine(),        // the line being written
                pendingReturn: false,   // a read ended in CR: a line feed may follow
                out: newChannel(styleOf("", false)),
                err: newChannel(styleOf(palette.standardError, false))
            }
        }

        // ---- The line model ----------------------------------------------

        // Renders the reads taken in since the pane was last given its text.
        // What can no longer be shown needs no rendering: of the lines before
        // the ones that fill the pane, only their number, their size and the
        // colours they set are kept.
        function renderPending() {
            const reads = view.pending
            if (reads.length === 0)
                return
            view.pending = []
            const start = firstShownPosition(reads)
            let from = 0
            if (start !== null) {
                const [read, piece] = start
                skipShownLines()
                for (let r = 0; r < read; ++r)
                    skipText(reads[r].channel, reads[r].text)
                let length = piece
                for (let k = 0; k < piece; ++k)
                    length += reads[read].pieces[k].length
                skipText(reads[read].channel, reads[read].text.substring(0, length))
                renderRead(reads[read], piece)
                from = read + 1
            }
            for (let r = from; r < reads.length; ++r)
                renderRead(reads[r], 0)
            dropLines()
        }

        // Where rendering begins: [read, piece] right after the line feed
        // that ends the last line the pane cannot show, judged by a generous
        // guess at the markup of the lines after it; null when all may show.
        function firstShownPosition(reads) {
            let lines = 0
            let markup = 0
            let lineGuess = 0
            let lineEnd = null
            for (let r = reads.length - 1; r >= 0; --r) {
                const pieces = reads[r].pieces = reads[r].text.split("\n")
                for (let k = pieces.length - 1; k >= 0; --k) {
                    if (k < pieces.length - 1) {
                        // The line after this piece's line feed is whole.
                        lines += lineEnd !== null || lineGuess > 0 ? 1 : 0
                        markup += lineGuess + lineBreak.length
                        if (lines > shownLines || markup > layoutBudget)
                            return lineEnd || [r, k + 1]
                        lineEnd = [r, k + 1]
                        lineGuess = 0
                    }
                    lineGuess += markupGuess(pieces[k])
                }
            }
            return null
        }

        function markupGuess(piece) {
            const shown = piece.substring(piece.lastIndexOf("\r") + 1)
            const sequences = shown.indexOf("\u001b") < 0 ? 0 : shown.match(escapeCharacter).length
            return Math.min(layoutCost(shown), wideCharacterCost * lineLength) + colourTagsCost * Math.min(sequences, lineLength)
        }

        function skipShownLines() {
            view.droppedLines += view.lines.length - view.first
            view.droppedCharacters += view.shownSize + view.line.size
            view.lines = []
            view.lineSizes = []
            view.lineCosts = []
            view.first = 0
            view.shownCost = 0
            view.shownSize = 0
            view.line = newLine()
            view.pendingReturn = false
        }

        // Text before the first line shown: each line feed in it ends a line
        // that is not shown.
        function skipText(channel, text) {
            for (let at = text.indexOf("\n"); at >= 0; at = text.indexOf("\n", at + 1))
                view.droppedLines += 1
            view.droppedCharacters += codePoints(text)
            takeColoursOf(channel, text)
            channel.state = "ground"
        }

        function renderRead(read, from) {
            const channel = read.channel
            const pieces = read.pieces || read.text.split("\n")
            if (channel === null) {
                renderCompletion(read.style, pieces[1])
                return
            }
            const last = pieces.length - 1
            for (let k = from; k <= last;) {
                const plainEnd = k > from && k < last ? plainLinesEnd(pieces, k, last) : k
                if (plainEnd > k) {
                    putPlainLines(channel.style, pieces.slice(k, plainEnd))
                    k = plainEnd
                    continue
                }
                feedPiece(channel, pieces[k], k < last)
                if (k < last) {
                    channel.state = "ground"
                    endLine()
                }
                ++k
            }
        }

        // The tool's output has ended, and with it any sequence it began
        // and any line it left unfinished.
        function renderCompletion(style, text) {
            view.out.state = "ground"
            view.err.state = "ground"
            view.pendingReturn = false
            endLine()
            view.line.size += codePoints(text)
            putText(view.line, style, text)
        }

        // One piece of a read that holds no line feed. A CR starts the line
        // over (progress redrawn in place); CR LF is one line end, also when
        // a read ends between the two.
        function feedPiece(channel, piece, endsLine) {
            const line = view.line
            if (piece.length === 0 && !endsLine)
                return
            line.size += codePoints(piece)
            if (view.pendingReturn) {
                view.pendingReturn = false
                if (piece.length > 0)
                    restartLine(line)
            }
            if (piece.endsWith("\r")) {
                piece = piece.slice(0, -1)
                view.pendingReturn = !endsLine
            }
            const lastReturn = piece.lastIndexOf("\r")
            if (lastReturn >= 0) {
                takeColoursOf(channel, piece.substring(0, lastReturn))
                channel.state = "ground"
                restartLine(line)
                piece = piece.substring(lastReturn + 1)
            }
            putOutput(line, channel, piece)
        }

        // Puts the tool's text (no line feed, no CR) into the line: the text
        // between escape sequences as plain text, the sequences through the
        // table.
        function putOutput(line, channel, text) {
            let i = 0
            while (i < text.length) {
                if (channel.state !== "ground") {
                    i = stepSequence(channel, text, i)
                    continue
                }
                const escape = text.indexOf("\u001b", i)
                const end = escape < 0 ? text.length : escape
                if (end > i) {
                    putPlain(line, channel.style, text.substring(i, end))
                    i = end
                    continue
                }
                graphicsSequence.lastIndex = i
                const sequence = graphicsSequence.exec(text)
                if (sequence !== null) {
                    applyGraphicsMode(channel, sequence[1])
                    i = graphicsSequence.lastIndex
                } else {
                    i = stepSequence(channel, text, i)
                }
            }
        }

        // Text without escape sequences, CR or line feed: controls and the
        // marks that reorder a line are left out, tabs go to the next stop,
        // and the line is cut where it reaches its length.
        function putPlain(line, style, text) {
            putText(line, style, plainText(text, line.column))
        }

        function plainText(text, column) {
            const shown = text.replace(invisibleCharacters, "")
            return shown.indexOf("\t") < 0 ? shown : expandTabs(shown, column)
        }

        // Appends text to the line, cut where the line reaches its length.
        function putText(line, style, text) {
            if (text.length === 0)
                return
            const room = lineLength - line.column
            let width = codePoints(text)
            if (width > room) {
                line.cut += width - Math.max(room, 0)
                if (room <= 0)
                    return
                text = keepCodePoints(text, room)
                width = room
            }
            appendRun(line, style, keepSpaces(escapeMarkup(text), line.lastWasSpace), width, text)
            line.lastWasSpace = spaceAtEnd.test(text)
        }

        // Whole lines of plain text: no escape sequence, no CR, not too long
        // and not an error line. Most output is such lines, and these are
        // taken many at a time with string functions the engine runs
        // natively, so that a flood costs little more than reading it.
        function plainLinesEnd(pieces, from, last) {
            let k = from
            while (k < last) {
                const piece = pieces[k]
                if (piece.length > lineLength / tabWidth && (piece.length > lineLength || piece.indexOf("\t") >= 0)
                        || piece.indexOf("\u001b") >= 0 || piece.indexOf("\r") >= 0 || piece.startsWith("A "))
                    break
                ++k
            }
            return k
        }

        function putPlainLines(style, pieces) {
            const shown = pieces.map(piece => plainText(piece, 0)).join("\n")
            const markup = keepSpaces(escapeMarkup(shown), true).split("\n")
            const surrogates = surrogate.test(shown)
            for (let k = 0; k < markup.length; ++k) {
                const lineMarkup = markup[k].length > 0 ? style.open + markup[k] + style.close : ""
                const size = (surrogates ? codePoints(pieces[k]) : pieces[k].length) + 1
                pushLine(lineMarkup, size)
            }
        }

        function expandTabs(text, column) {
            const parts = text.split("\t")
            let expanded = parts[0]
            for (let k = 1; k < parts.length; ++k) {
                const stop = tabWidth - (column + codePoints(expanded)) % tabWidth
                expanded += " ".repeat(stop) + parts[k]
            }
            return expanded
        }

        // Styled text folds runs of white space. Of two spaces in a row the
        // second is kept as a non-breaking space; so are a space at the start
        // of a line and the other kinds of space.
        function keepSpaces(markup, afterSpace) {
            let kept = markup.search(otherSpace) >= 0 ? markup.replace(otherSpace, "&nbsp;") : markup
            if (afterSpace && kept.indexOf(" ") >= 0)
                kept = kept.replace(spaceAtLineStart, "&nbsp;")
            return kept.indexOf("  ") >= 0 ? kept.replace(twoSpaces, " &nbsp;") : kept
        }

        function appendRun(line, style, markup, width, text) {
            const runs = line.runs
            if (runs.length > 0 && runs[runs.length - 1].style === style) {
                runs[runs.length - 1].markup += markup
            } else {
                runs.push({ style: style, markup: markup })
                line.cost += style.open.length + style.close.length
            }
            line.cost += layoutCost(markup)
            if (line.head.length < errorLineHead)
                line.head += text.substring(0, errorLineHead)
            line.column += width
        }

        function endLine() {
            pushLine(lineMarkup(view.line), view.line.size + 1)
            view.line = newLine()
        }

        function pushLine(markup, size) {
            const cost = layoutCost(markup) + lineBreak.length
            view.lines.push(markup)
            view.lineSizes.push(size)
            view.lineCosts.push(cost)
            view.shownCost += cost
            view.shownSize += size
        }

        function layoutCost(markup) {
            return markup.search(wideCharacter) < 0 ? markup.length
                                                    : markup.length + (wideCharacterCost - 1) * markup.replace(narrowCharacters, "").length
        }

        function newLine() {
            return {
                runs: [],           // { style, markup }, adjacent runs of one style merged
                cost: 0,            // what laying it out costs
                column: 0,          // characters shown
                cut: 0,             // characters left out past lineLength
                size: 0,            // characters the line holds in the log
                head: "",           // its first characters, to know an error line
                lastWasSpace: true
            }
        }

        function restartLine(line) {
            line.runs = []
            line.cost = 0
            line.column = 0
            line.cut = 0
            line.head = ""
            line.lastWasSpace = true
        }

        // Lines beyond the limits leave from the front; the unfinished line
        // counts as a line once it shows something.
        function dropLines() {
            const unfinished = view.line.runs.length > 0 ? 1 : 0
            while (view.first < view.lines.length
                   && (view.lines.length - view.first + unfinished > shownLines
                       || view.shownCost + view.line.cost > layoutBudget)) {
                view.shownCost -= view.lineCosts[view.first]
                view.shownSize -= view.lineSizes[view.first]
                view.droppedCharacters += view.lineSizes[view.first]
                view.droppedLines += 1
                view.first += 1
            }
            if (view.first > compactionBatch && view.first * 2 > view.lines.length) {
                view.lines.splice(0, view.first)
                view.lineSizes.splice(0, view.first)
                view.lineCosts.splice(0, view.first)
                view.first = 0
            }
        }

        // An error line takes the standard-error red where the tool set no
        // colour of its own.
        function lineMarkup(line) {
            const errorLine = errorLinePrefixes.some(prefix => line.head.startsWith(prefix))
            const plain = view.out.baseStyle
            let markup = ""
            for (const run of line.runs) {
                const style = errorLine && run.style === plain ? view.err.baseStyle : run.style
                markup += style.open + run.markup + style.close
            }
            if (line.cut > 0)
                markup += noteMarkup(" … " + counted(line.cut, "more character") + " not shown")
            return markup
        }

        // The one escaper: the tool's text shows as the characters it wrote.
        function escapeMarkup(text) {
            return /[<>&]/.test(text) ? text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;") : text
        }

        // The one cutter: the first count characters, never half a
        // surrogate pair.
        function keepCodePoints(text, count) {
            if (!surrogate.test(text))
                return text.substring(0, count)
            let end = 0
            for (let kept = 0; kept < count && end < text.length; ++kept) {
                const code = text.charCodeAt(end)
                end += code >= 0xd800 && code <= 0xdbff ? 2 : 1
            }
            return text.substring(0, end)
        }

        function codePoints(text) {
            return surrogate.test(text) ? text.length - (text.match(surrogatePairs) || []).length : text.length
        }

        function counted(count, noun) {
            return count + " " + noun + (count === 1 ? "" : "s")
        }

        function noteMarkup(text) {
            const style = styleOf(palette.note, false)
            return style.open + text + style.close
        }

        // ---- Escape sequences and colours --------------------------------

        // Colours and weight are kept per output channel: a sequence cut
        // between two stdout reads goes on in the next stdout read, and a
        // stderr read in between never sees it.
        function newChannel(baseStyle) {
            return {
                baseStyle: baseStyle,   // its text without colours set
                style: baseStyle,       // its text now
                colour: -1,             // ANSI colour 0-7, -1 for none
                bright: false,
                bold: false,
                state: "ground",        // where in an escape sequence it is
                sequence: ""            // the sequence so far
            }
        }

        // A style is a colour ("" for the pane's own) and a weight, with the
        // tags that draw it. There is one object per style, so that runs of
        // one style can be told by identity and share their tags.
        function styleOf(colour, bold) {
            const key = colour + (bold ? "|b" : "|")
            let style = styles[key]
            if (style === undefined) {
                style = {
                    colour: colour,
                    bold: bold,
                    open: (colour !== "" ? "<font color='" + colour + "'>" : "") + (bold ? "<b>" : ""),
                    close: (bold ? "</b>" : "") + (colour !== "" ? "</font>" : "")
                }
                styles[key] = style
            }
            return style
        }

        // Escape sequences as a state machine after the DEC parser's
        // (vt100.net): each character is one transition. Rows are tried in
        // order, [first code, last code, action, next state], a next state of
        // "" keeping the state: first those that hold in every state (CAN and
        // SUB cancel a sequence, ESC begins a new one), then the state's own,
        // then the controls a sequence ignores. A character no row takes ends
        // the sequence and is text again. A sequence also ends at a line
        // feed, and after sequenceLength characters, so that a broken one
        // swallows little.
        readonly property var sequenceTable: ({
            anywhere: [[0x18, 0x18, "cancel", "ground"], [0x1a, 0x1a, "cancel", "ground"],
                       [0x1b, 0x1b, "begin", "escape"]],
            escape: [[0x20, 0x2f, "collect", "escapeIntermediate"], [0x5b, 0x5b, "collect", "csiEntry"],
                     [0x5d, 0x5d, "collect", "string"], [0x50, 0x50, "collect", "string"],
                     [0x58, 0x58, "collect", "string"], [0x5e, 0x5f, "collect", "string"],
                     [0x30, 0x7e, "dispatch", "ground"]],
            escapeIntermediate: [[0x20, 0x2f, "collect", ""], [0x30, 0x7e, "dispatch", "ground"]],
            csiEntry: [[0x30, 0x39, "collect", "csiParam"], [0x3b, 0x3b, "collect", "csiParam"],
                       [0x3c, 0x3f, "collect", "csiParam"], [0x3a, 0x3a, "collect", "csiIgnore"],
                       [0x20, 0x2f, "collect", "csiIntermediate"], [0x40, 0x7e, "dispatch", "ground"]],
            csiParam: [[0x30, 0x39, "collect", ""], [0x3b, 0x3b, "collect", ""], [0x3a, 0x3a, "collect", "csiIgnore"],
                       [0x3c, 0x3f, "collect", "csiIgnore"], [0x20, 0x2f, "collect", "csiIntermediate"],
                       [0x40, 0x7e, "dispatch", "ground"]],
            csiIntermediate: [[0x20, 0x2f, "collect", ""], [0x30, 0x3f, "collect", "csiIgnore"],
                              [0x40, 0x7e, "dispatch", "ground"]],
            csiIgnore: [[0x20, 0x3f, "collect", ""], [0x40, 0x7e, "cancel", "ground"]],
            // OSC, DCS, SOS, PM and APC: ended by BEL, by ST (ESC \, which
            // the escape state takes as a final character) or by C1 ST.
            string: [[0x07, 0x07, "cancel", "ground"], [0x9c, 0x9c, "cancel", "ground"], [0x00, 0x10ffff, "collect", ""]],
            otherwise: [[0x00, 0x1f, "ignore", ""], [0x7f, 0x7f, "ignore", ""]]
        })

        // Takes the character at i, inside or at the start of a sequence;
        // returns where the text goes on.
        function stepSequence(channel, text, i) {
            const code = text.charCodeAt(i)
            const row = tableRow(sequenceTable.anywhere, code) || tableRow(sequenceTable[channel.state], code)
                    || tableRow(sequenceTable.otherwise, code)
            if (row === null) {
                channel.state = "ground"
                return i
            }
            const [, , action, next] = row
            if (action === "begin")
                channel.sequence = ""
            else if (action === "collect")
                channel.sequence += text[i]
            else if (action === "dispatch")
                dispatchSequence(channel, channel.sequence + text[i])
            if (next !== "")
                channel.state = next
            // The ESC that began it counts too.
            if (channel.sequence.length + 1 >= sequenceLength)
                channel.state = "ground"
            return i + 1
        }

        function tableRow(rows, code) {
            for (const row of rows) {
                if (code >= row[0] && code <= row[1])
                    return row
            }
            return null
        }

        // Of all the sequences only colours and weight are shown; cursor
        // moves, erasing, titles and character sets are not.
        function dispatchSequence(channel, sequence) {
            if (sequence.startsWith("[") && sequence.endsWith("m") && /^\[[0-9;]*m$/.test(sequence))
                applyGraphicsMode(channel, sequence.slice(1, -1))
        }

        function applyGraphicsMode(channel, parameters) {
            setGraphicsState(channel, graphicsEffect(parameters))
        }

        function setGraphicsState(channel, state) {
            Object.assign(channel, state)
            channel.style = channel.colour < 0 ? channel.baseStyle
                                               : styleOf(ansiColours[channel.colour + (channel.bright || channel.bold ? 8 : 0)], false)
        }

        // What one graphics sequence sets, in the order of its parameters:
        // colour (0-7, -1 for none), brightness and weight; what it leaves
        // alone is not in the result.
        function graphicsEffect(parameters) {
            const effect = {}
            const values = parameters.split(";")
            for (let k = 0; k < values.length; ++k) {
                const value = values[k] === "" ? 0 : parseInt(values[k], 10)
                if (value === 0) {
                    effect.colour = -1
                    effect.bright = false
                    effect.bold = false
                } else if (value === 1) {
                    effect.bold = true
                } else if (value === 22) {
                    effect.bold = false
                } else if (value === 39) {
                    effect.colour = -1
                    effect.bright = false
                } else if (value >= 30 && value <= 37 || value >= 90 && value <= 97) {
                    effect.colour = value % 10
                    effect.bright = value >= 90
                } else if (value === 38 || value === 48) {
                    // Extended colours are not shown; skip their arguments.
                    k += values[k + 1] === "5" ? 2 : values[k + 1] === "2" ? 4 : 0
                }
            }
            return effect
        }

        // The colours text leaves without being shown (overwritten, or too
        // early to show): only the last sequences that set the colour and
        // the weight matter, so they are looked for from the end.
        function takeColoursOf(channel, text) {
            let at = text.lastIndexOf("\u001b[")
            if (at < 0)
                return
            // Each is settled by the last sequence that sets it; the weight at
            // once where no sequence sets it.
            let colour = null
            let bold = boldSequence.test(text) ? null : { bold: channel.bold }
            for (; at >= 0 && (colour === null || bold === null); at = at > 0 ? text.lastIndexOf("\u001b[", at - 1) : -1) {
                graphicsSequence.lastIndex = at
                const sequence = graphicsSequence.exec(text)
                if (sequence === null)
                    continue
                const effect = graphicsEffect(sequence[1])
                if (colour === null && effect.colour !== undefined)
                    colour = { colour: effect.colour, bright: effect.bright }
                if (bold === null && effect.bold !== undefined)
                    bold = { bold: effect.bold }
            }
            setGraphicsState(channel, Object.assign({}, colour, bold))
        }

        // ---- Display and pacing ------------------------------------------

        // What the pane shows: the last lines within the limits, and in
        // front of them how much earlier output it leaves out.
        function display() {
            let text = ""
            if (view.droppedLines > 0)
                text = noteMarkup("… " + counted(view.droppedLines, "earlier line") + " ("
                                  + counted(view.droppedCharacters, "character") + ") not shown …") + lineBreak
            if (view.lines.length > view.first)
                text += view.lines.slice(view.first).join(lineBreak) + lineBreak
            return text + lineMarkup(view.line)
        }

        // When the pane was last given its text, and how the log changed
        // since.
        readonly property var pacing: ({
            dirty: false,           // changed since the pane was last given its text
            nextShow: 0,            // when a flood lets the pane be given its text again
            changedSinceFrame: false,
            changedBeforeLastFrame: false,
            shownSinceFrame: false
        })

        // The pane is laid out at most once a frame, however often the log
        // changes: a change after a quiet frame is shown at once, further
        // changes with the next frame. While the log keeps changing from
        // frame to frame, a costly layout is followed by a pause; once the
        // log rests, it is shown at once.
        function showChange() {
            pacing.dirty = true
            pacing.changedSinceFrame = true
            if (!pacing.shownSinceFrame && !pacing.changedBeforeLastFrame)
                showNow()
            else
                root.update()
        }

        function showAtFrame() {
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
                showNow()
        }

        // Rendering and laying out are two turns of the event loop when the
        // first took a while, so that a click waits for one of them at most.
        function showNow() {
            const start = Date.now()
            pacing.dirty = false
            pacing.shownSinceFrame = true
            renderPending()
            const renderTime = Date.now() - start
            if (renderTime < longTurn)
                layOut(renderTime)
            else
                Qt.callLater(layOut, renderTime)
        }

        function layOut(renderTime) {
            const start = Date.now()
            const shown = display()
            logText.text = shown
            // A screen reader reads it as text: the markup's line breaks are line
            // feeds again, its tags go and its entities are their characters.
            logText.plainText = shown.replace(/<br>/g, "\n").replace(/<[^>]*>/g, "").replace(/&nbsp;/g, " ")
                                     .replace(/&lt;/g, "<").replace(/&gt;/g, ">").replace(/&amp;/g, "&")
            pacing.nextShow = Date.now() + floodPause * (renderTime + Date.now() - start)
        }
    }
}
