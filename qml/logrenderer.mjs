// The log pane's renderer. The log mixes the controller's markup (a red
// element around each standard-error read, a bold coloured completion line)
// with what the tool wrote; the renderer takes it in change by change and
// turns it into the display markup the pane shows. What the pane shows
// depends only on the tool's output, character by character with its
// channel, and on how the job ended: never on how the output was cut into
// reads, nor on when the pane asked for it.
//
// Its parts, in reading order: limits and palette; the parser (the log's
// changes, then the tool's characters and escape sequences); the line model
// (lines, their cost, which of them the pane shows); the markup.

// ---- Limits and palette ------------------------------------------------

// Laying text out costs time in proportion to what is shown; the pane
// shows the last lines within these bounds, so that a click waits at most
// for one such layout (bench/README.md). The whole log stays in the
// controller.
export const limits = Object.freeze({
    shownLines: 10000,
    layoutBudget: 262144,
    lineLength: 10000,      // characters a line shows
    sequenceLength: 256,    // characters an escape sequence may take
    tabWidth: 8,
    // Combining marks stacked on one character draw above and below its
    // line, over the lines around it; more than two are left out.
    marksPerCharacter: 2,
    // A person follows a log at a few changes a second, and every change
    // lays out and draws the whole pane; a flood is shown less often still,
    // after a pause of this many times the last layout. The verdict shows
    // at once.
    showInterval: 250,
    floodPause: 3,
    // Output is rendered when it is shown; while a flood outruns the
    // renderer, what is rendered so far shows this often.
    floodShowInterval: 1000,
    // Reads are rendered a slice of this many characters at a time, for
    // about this many milliseconds a turn of the event loop: a click waits
    // for one turn at most, however much output came at once.
    renderSlice: 8192,
    renderTime: 40
})

// What laying a character out costs, in units of a plain Latin-1 one:
// characters beyond Latin-1 three times as much (measured), characters deep
// inside a word that is too long to wrap at its spaces six times as much
// (the layout looks for a break at every one of them), and the tags that
// colour a run.
const cost = Object.freeze({
    wideCharacter: 3,
    unbrokenCharacter: 6,
    unbrokenAfter: 40,
    lineBreak: 4
})

// Every colour reads at 4.5:1 or better on the pane's #2B2B2B. The verdict
// is the only bold text, and its colours differ in hue from every colour
// tool text is drawn in.
export const palette = Object.freeze({
    standardError: "#ff6b6b",
    success: "#4be0a0",
    failure: "#ff70b8",
    note: "#a0a0a0",
    // ANSI colours 30-37, then their bright forms 90-97. Bold tool text is
    // drawn bright, as many terminals draw it, and never bold.
    ansi: Object.freeze(["#999999", "#ff6b6b", "#6bd66b", "#e8c547", "#6b9bff", "#e07be0", "#5fcfcf", "#e6e6e6",
                         "#b0b0b0", "#ff8f8f", "#8fef8f", "#fff07a", "#9bbcff", "#ff9bff", "#8fffff", "#ffffff"])
})

// esptool's reason for a failure, on whichever channel it comes.
const errorLinePrefixes = ["A fatal error occurred:", "A serial exception error occurred:"]
const errorLineHead = Math.max(...errorLinePrefixes.map(prefix => prefix.length))

const lineBreak = "<br>"

// ---- The parser: the log's changes -------------------------------------

// Each change of the log is one thing: the launch line after the log was
// cleared, one stdout read, one stderr read in its red element, or the
// completion line right after the result signal. Taken change by change,
// only the controller's markup formats anything.
const errorOpen = "<font color='red'>"
const errorClose = "</font>"
const errorElement = new RegExp(errorOpen + "([\\s\\S]*?)" + errorClose, "g")
const completionStart = "\n<b><font color='"
const completionLine = new RegExp("^" + completionStart + "(red|green)'>([\\s\\S]*)</font></b>$")

// ---- The parser: the tool's characters ---------------------------------

const LF = 0x0a
const CR = 0x0d
const TAB = 0x09
const ESC = 0x1b

// Characters the pane leaves out: controls (tab, line feed, CR and ESC act
// instead) and the marks that would reorder a line.
const invisible = "\\x00-\\x1f\\x7f-\\x9f\\u061c\\u200e\\u200f\\u202a-\\u202e\\u2066-\\u2069"
// Combining marks: the general blocks, and those of the scripts that stack
// them.
const marks = "\\u0300-\\u036f\\u0483-\\u0489\\u0591-\\u05bd\\u05bf\\u05c1\\u05c2\\u05c4\\u05c5\\u05c7"
        + "\\u0610-\\u061a\\u064b-\\u065f\\u0670\\u06d6-\\u06dc\\u06df-\\u06e4\\u06e7\\u06e8\\u06ea-\\u06ed"
        + "\\u0e31\\u0e34-\\u0e3a\\u0e47-\\u0e4e\\u0eb1\\u0eb4-\\u0ebc\\u0ec8-\\u0ecd\\u0f71-\\u0f84\\u0f8d-\\u0fbc"
        + "\\u1ab0-\\u1aff\\u1dc0-\\u1dff\\u20d0-\\u20ff\\u302a-\\u302f\\u3099\\u309a\\ufe20-\\ufe2f"
// Text that needs nothing but showing: taken a run at a time.
const plainRun = new RegExp("[^" + invisible + marks + "]+", "y")
const mark = new RegExp("[" + marks + "]")
// The common control sequences (colours, erasing, cursor moves), whole in
// one read, are taken at once; anything else goes through the sequence
// table below. It is the table's path for these characters, bound included.
const controlSequence = new RegExp("\\x1b\\[[0-9;:]{0," + (limits.sequenceLength - 3) + "}[\\x40-\\x7e]", "y")
const graphicsFinal = 0x6d // m
const surrogate = /[\ud800-\udfff]/
const surrogatePairs = /[\ud800-\udbff][\udc00-\udfff]/g
const wideCharacter = /[^\x00-\xff]/
const narrowCharacters = /[\x00-\xff]+/g
const markupCharacters = /[<>&]/
const markupCharacter = /[<>&]/g
const longWords = new RegExp("[^ ]{" + (cost.unbrokenAfter + 1) + ",}", "g")

// Escape sequences as a state machine after the DEC parser's (vt100.net):
// each character is one transition. Rows are tried in order, [first code,
// last code, action, next state], a next state of keep keeping the state:
// first those that hold in every state (CAN and SUB cancel a sequence, ESC
// begins a new one), then the state's own, then the controls a sequence
// ignores. A character no row takes ends the sequence and is text again. A
// sequence also ends at a line feed or a CR, and after sequenceLength
// characters, so that a broken one swallows little. States and actions are
// numbers, which the engine looks up at once where it would hash a name.
const ground = 0
const escapeEntry = 1
const escapeIntermediate = 2
const csiEntry = 3
const csiParam = 4
const csiIntermediate = 5
const csiIgnore = 6
const controlString = 7
const keep = -1

const cancel = 0
const begin = 1
const collect = 2
const dispatch = 3
const ignore = 4

const anywhereRows = [[0x18, 0x18, cancel, ground], [0x1a, 0x1a, cancel, ground], [0x1b, 0x1b, begin, escapeEntry]]
const otherwiseRows = [[0x00, 0x1f, ignore, keep], [0x7f, 0x7f, ignore, keep]]
const stateRows = []
stateRows[ground] = []
stateRows[escapeEntry] = [[0x20, 0x2f, collect, escapeIntermediate], [0x5b, 0x5b, collect, csiEntry],
                          [0x5d, 0x5d, collect, controlString], [0x50, 0x50, collect, controlString],
                          [0x58, 0x58, collect, controlString], [0x5e, 0x5f, collect, controlString],
                          [0x30, 0x7e, dispatch, ground]]
stateRows[escapeIntermediate] = [[0x20, 0x2f, collect, keep], [0x30, 0x7e, dispatch, ground]]
stateRows[csiEntry] = [[0x30, 0x3b, collect, csiParam], [0x3c, 0x3f, collect, csiParam],
                       [0x20, 0x2f, collect, csiIntermediate], [0x40, 0x7e, dispatch, ground]]
// ':' separates the parts of one parameter (38:5:n).
stateRows[csiParam] = [[0x30, 0x3b, collect, keep], [0x3c, 0x3f, collect, csiIgnore],
                       [0x20, 0x2f, collect, csiIntermediate], [0x40, 0x7e, dispatch, ground]]
stateRows[csiIntermediate] = [[0x20, 0x2f, collect, keep], [0x30, 0x3f, collect, csiIgnore],
                              [0x40, 0x7e, dispatch, ground]]
stateRows[csiIgnore] = [[0x20, 0x3f, collect, keep], [0x40, 0x7e, cancel, ground]]
// OSC, DCS, SOS, PM and APC: ended by BEL, by ST (ESC \, which the
// escape state takes as a final character) or by C1 ST.
stateRows[controlString] = [[0x07, 0x07, cancel, ground], [0x9c, 0x9c, cancel, ground],
                            [0x00, 0x10ffff, collect, keep]]
Object.freeze(stateRows)

function tableRow(rows, code) {
    for (let k = 0; k < rows.length; ++k) {
        const row = rows[k]
        if (code >= row[0] && code <= row[1])
            return row
    }
    return null
}

// What one graphics sequence sets, in the order of its parameters: colour
// (0-7, -1 for none) with its brightness, and weight; what it leaves alone
// is not in the result. Extended colours (38 and 48, with ';' or ':') are
// not shown, and their arguments are not codes of their own.
function graphicsEffect(parameters) {
    const effect = {}
    const values = parameters.split(";")
    for (let k = 0; k < values.length; ++k) {
        const value = values[k] === "" ? 0 : parseInt(values[k], 10)
        if (values[k].indexOf(":") >= 0)
            continue
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
            // An integer, not parseInt's double: the engine looks a
            // double index up as a name.
            effect.colour = value % 10 | 0
            effect.bright = value >= 90
        } else if (value === 38 || value === 48) {
            k += values[k + 1] === "5" ? 2 : values[k + 1] === "2" ? 4 : 0
        }
    }
    return Object.freeze(effect)
}

function codePoints(text) {
    return surrogate.test(text) ? text.length - (text.match(surrogatePairs) || []).length : text.length
}

// The one cutter: the first count characters, never half a surrogate pair.
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

function counted(count, noun) {
    return count + " " + noun + (count === 1 ? "" : "s")
}

// Colours and weight are kept per output channel: a sequence cut between
// two stdout reads goes on in the next stdout read, and a stderr read in
// between never sees it.
class Channel {
    constructor(renderer, baseStyle) {
        this.renderer = renderer
        this.baseStyle = baseStyle  // its text without colours set
        this.style = baseStyle      // its text now
        this.colour = -1            // ANSI colour 0-7, -1 for none
        this.bright = false
        this.bold = false
        this.state = ground         // where in an escape sequence it is
        this.sequence = ""          // the sequence so far, without its ESC
    }

    applyGraphics(parameters) {
        const effect = this.renderer.graphicsEffectOf(parameters)
        if (effect.colour !== undefined) {
            this.colour = effect.colour
            this.bright = effect.bright
        }
        if (effect.bold !== undefined)
            this.bold = effect.bold
        this.style = this.colour < 0 ? this.baseStyle
                                     : this.renderer.ansiStyles[this.colour + (this.bright || this.bold ? 8 : 0)]
    }

    // Takes the character at i, inside or at the start of a sequence;
    // returns where the text goes on.
    step(text, i) {
        const code = text.charCodeAt(i)
        const row = tableRow(anywhereRows, code) || tableRow(stateRows[this.state], code) || tableRow(otherwiseRows, code)
        if (row === null) {
            this.state = ground
            return i
        }
        const action = row[2]
        if (action === begin)
            this.sequence = ""
        else if (action === collect)
            this.sequence += text[i]
        else if (action === dispatch)
            this.dispatch(this.sequence + text[i])
        if (row[3] !== keep)
            this.state = row[3]
        // The ESC that began it counts too. It never ends between the two
        // halves of a character, which would leave the second half as text.
        if (this.sequence.length + 1 >= limits.sequenceLength && !isHighSurrogate(code))
            this.state = ground
        return i + 1
    }

    // Of all the sequences only colours and weight are shown; cursor moves,
    // erasing, titles and character sets are not.
    dispatch(sequence) {
        if (sequence.startsWith("[") && sequence.endsWith("m") && /^\[[0-9;:]*m$/.test(sequence))
            this.applyGraphics(sequence.slice(1, -1))
    }
}

// ---- The line model ------------------------------------------------------

// A line as the pane shows it: runs of text of one style (adjacent runs of
// one style merged, so that a line is the same however its text came), what
// laying it out costs, and what it held in the log.
class Line {
    constructor() {
        this.size = 0           // characters the line holds in the log
        this.restart()
    }

    // A CR starts the line over: what it showed is overwritten.
    restart() {
        this.runs = []          // { style, text }
        this.cost = 0
        this.column = 0         // characters shown
        this.cut = 0            // characters left out past lineLength
        this.head = ""          // its first characters, to know an error line
        this.word = 0           // length of the word it ends in
        this.marks = 0          // combining marks on its last character
        this.markup = null      // kept once the line, finished, has shown
    }

    showsSomething() {
        return this.runs.length > 0 || this.cut > 0
    }
}

// Adds text (no controls, no marks beyond the bound) to the line, cut where
// the line reaches its length.
function putText(line, style, text, width = codePoints(text)) {
    const room = limits.lineLength - line.column
    if (width > room) {
        line.cut += width - Math.max(room, 0)
        if (room <= 0)
            return
        text = keepCodePoints(text, room)
    }
    const runs = line.runs
    if (runs.length > 0 && runs[runs.length - 1].style === style) {
        runs[runs.length - 1].text += text
    } else {
        runs.push({ style: style, text: text })
        line.cost += style.open.length + style.close.length
    }
    line.cost += textCost(line, text)
    if (line.head.length < errorLineHead)
        line.head += text.substring(0, errorLineHead - line.head.length)
    line.column += Math.min(width, room)
}

// What laying the text out costs, given the word the line ends in: a sum
// over its characters, so the same whichever way the text is cut into runs.
function textCost(line, text) {
    let total = text.length
    if (wideCharacter.test(text))
        total += (cost.wideCharacter - 1) * text.replace(narrowCharacters, "").length
    if (markupCharacters.test(text))
        total += text.match(markupCharacter).reduce((sum, character) => sum + (character === "&" ? 4 : 3), 0)
    const firstSpace = text.indexOf(" ")
    let unbroken = 0
    if (firstSpace < 0) {
        unbroken = over(line.word + text.length) - over(line.word)
        line.word += text.length
    } else {
        const lastSpace = text.lastIndexOf(" ")
        unbroken = over(line.word + firstSpace) - over(line.word)
        if (lastSpace - firstSpace > cost.unbrokenAfter) {
            for (const word of text.substring(firstSpace + 1, lastSpace).match(longWords) || [])
                unbroken += over(word.length)
        }
        line.word = text.length - lastSpace - 1
        unbroken += over(line.word)
    }
    return total + (cost.unbrokenCharacter - 1) * unbroken
}

function over(length) {
    return length > cost.unbrokenAfter ? length - cost.unbrokenAfter : 0
}

// ---- The markup ----------------------------------------------------------

// The one escaper: the tool's text shows as the characters it wrote.
function escapeMarkup(text) {
    return markupCharacters.test(text) ? text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;") : text
}

// Styled text folds runs of white space. Of two spaces in a row the second
// is kept as a non-breaking space; so are a space at the start of a line and
// the other kinds of space.
const otherSpace = /[\u00a0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000\ufeff]/g
const twoSpaces = / {2}/g
function keepSpaces(text, afterSpace) {
    let kept = text.replace(otherSpace, "&nbsp;")
    if (afterSpace && kept.startsWith(" "))
        kept = "&nbsp;" + kept.substring(1)
    return kept.indexOf("  ") >= 0 ? kept.replace(twoSpaces, " &nbsp;") : kept
}

// A style is a colour ("" for the pane's own) and a weight, with the tags
// that draw it; one object per style, so that runs compare by identity.
function makeStyle(colour, bold) {
    return Object.freeze({
        colour: colour,
        bold: bold,
        open: (colour !== "" ? "<font color='" + colour + "'>" : "") + (bold ? "<b>" : ""),
        close: (bold ? "</b>" : "") + (colour !== "" ? "</font>" : "")
    })
}

// ---- The renderer --------------------------------------------------------

export class LogRenderer {
    constructor() {
        this.styles = new Map()
        this.effects = new Map()
        this.plain = this.styleOf("", false)
        this.errorStyle = this.styleOf(palette.standardError, false)
        this.noteStyle = this.styleOf(palette.note, false)
        this.ansiStyles = palette.ansi.map(colour => this.styleOf(colour, false))
        this.verdictStyles = { green: this.styleOf(palette.success, true), red: this.styleOf(palette.failure, true) }
        // How often rendering the tool's text failed, and why the last time;
        // a defect may cost tool text, never the verdict, and it is not
        // kept quiet.
        this.failures = 0
        this.lastFailure = ""
        this.clear()
    }

    // Whether the job's end has been taken in, rendered or not.
    endTaken() {
        return this.endQueued
    }

    clear() {
        this.seen = 0               // length of the log taken in
        this.expectLaunch = true    // the next change is the launch line
        this.resultAnnounced = false
        this.out = new Channel(this, this.plain)
        this.err = new Channel(this, this.errorStyle)
        this.lines = []             // finished lines the pane may show
        this.first = 0              // lines before this one are no longer kept
        this.keptCost = 0
        this.keptSize = 0
        this.droppedLines = 0
        this.droppedCharacters = 0
        this.line = new Line()      // the line being written
        this.pendingReturn = false  // a CR was the last character: a line feed may follow
        this.lostText = false
        this.verdict = null
        this.endQueued = false
        this.pending = []           // reads (and the job's end) taken in, not yet rendered
        this.pendingFirst = 0       // the oldest of them
        this.skipping = false       // rendering text that cannot show
    }

    styleOf(colour, bold) {
        const key = colour + (bold ? "|b" : "|")
        let style = this.styles.get(key)
        if (style === undefined) {
            style = makeStyle(colour, bold)
            this.styles.set(key, style)
        }
        return style
    }

    graphicsEffectOf(parameters) {
        let effect = this.effects.get(parameters)
        if (effect === undefined) {
            effect = graphicsEffect(parameters)
            this.effects.set(parameters, effect)
        }
        return effect
    }

    // ---- Taking the log in ----

    // A change of the controller's log.
    takeChange(log, isFlashing) {
        if (log.length === 0) {
            this.clear()
            return
        }
        if (log.length < this.seen || this.seen === 0 && !this.expectLaunch) {
            this.takeWholeLog(log, isFlashing)
            return
        }
        const change = log.substring(this.seen)
        this.seen = log.length
        const completion = this.resultAnnounced ? completionLine.exec(change) : null
        this.resultAnnounced = false
        if (this.expectLaunch) {
            this.expectLaunch = false
            this.takeOutput(change)
        } else if (completion !== null) {
            this.takeCompletion(completion[1], completion[2])
        } else if (change.startsWith(errorOpen) && change.endsWith(errorClose)) {
            this.takeError(change.slice(errorOpen.length, -errorClose.length))
        } else {
            this.takeOutput(change)
        }
    }

    // A result signal is followed at once by the completion line; a refused
    // start has none, and the next change clears it.
    expectCompletion() {
        this.resultAnnounced = true
    }

    // A window created after a job began sees the whole log at once and
    // tells its pieces apart by the controller's tags. While the job runs
    // there is no completion line yet, so only a finished job's log ends in
    // one; tool text that copies a red element byte for byte is still taken
    // as standard error.
    takeWholeLog(log, isFlashing) {
        this.clear()
        this.expectLaunch = log.length === 0
        this.seen = log.length
        const completionAt = isFlashing ? -1 : log.lastIndexOf(completionStart)
        const completion = completionAt < 0 ? null : completionLine.exec(log.substring(completionAt))
        const output = completion === null ? log : log.substring(0, completionAt)
        errorElement.lastIndex = 0
        let at = 0
        for (let piece = errorElement.exec(output); piece !== null; piece = errorElement.exec(output)) {
            this.takeOutput(output.substring(at, piece.index))
            this.takeError(piece[1])
            at = errorElement.lastIndex
        }
        this.takeOutput(output.substring(at))
        if (completion !== null)
            this.takeCompletion(completion[1], completion[2])
    }

    takeOutput(text) {
        this.queue(this.out, text)
    }

    takeError(text) {
        this.queue(this.err, text)
    }

    // Reads wait to be rendered: of all that came since the last rendering,
    // only the lines that can still show need it.
    queue(channel, text) {
        if (text.length > 0)
            this.pending.push({ channel: channel, text: text, at: 0 })
    }

    // Renders what came, oldest first, a slice at a time until the deadline
    // (a Date.now() time; without one, all of it), at least one slice.
    // Returns whether all is rendered. Lines followed by as many finished
    // lines as the pane shows cannot show: they are only counted, and their
    // colours kept.
    render(deadline) {
        let unshown = 0
        this.guarded(() => { unshown = this.unshownCharacters() })
        for (let slices = 0; this.pendingFirst < this.pending.length; ++slices) {
            if (slices > 0 && deadline !== undefined && Date.now() >= deadline)
                return false
            const read = this.pending[this.pendingFirst]
            if (read.verdict !== undefined) {
                this.pendingFirst += 1
                this.end(read.verdict)
                continue
            }
            // A slice is taken from where the last one ended: cutting the rest
            // off anew each time would copy a long read over and over.
            const left = read.text.length - read.at
            let length = Math.min(left, limits.renderSlice, unshown > 0 ? unshown : Infinity)
            // Never between the halves of a surrogate pair.
            if (length < left && isHighSurrogate(read.text.charCodeAt(read.at + length - 1)))
                length += 1
            const text = read.at === 0 && length === left ? read.text : read.text.substring(read.at, read.at + length)
            read.at += length
            if (read.at === read.text.length)
                this.pendingFirst += 1
            if (unshown > 0) {
                unshown -= length
                this.guarded(() => this.skip(read.channel, text))
            } else {
                this.guarded(() => this.feed(read.channel, text))
            }
        }
        this.pending = []
        this.pendingFirst = 0
        return true
    }

    // How many characters at the front of the waiting reads cannot show.
    unshownCharacters() {
        const reads = this.pending.slice(this.pendingFirst).filter(read => read.verdict === undefined)
        const [lastSkipped, skipEnd] = skipPoint(reads)
        if (lastSkipped < 0)
            return 0
        let count = skipEnd - reads[lastSkipped].at
        for (let r = 0; r < lastSkipped; ++r)
            count += reads[r].text.length - reads[r].at
        return count
    }

    skip(channel, text) {
        this.skipping = true
        try {
            this.feed(channel, text)
        } finally {
            this.skipping = false
        }
    }

    // The tool's output has ended, and with it any sequence it began and
    // any line it left unfinished; rendered after all the output before it.
    takeCompletion(colourName, text) {
        this.pending.push({ verdict: { style: this.verdictStyles[colourName], text: text } })
        this.endQueued = true
    }

    end(verdict) {
        this.guarded(() => {
            this.out.state = ground
            this.err.state = ground
            this.pendingReturn = false
            this.finishLine(0)
        })
        this.verdict = verdict
    }

    guarded(work) {
        try {
            work()
        } catch (error) {
            this.fail(error)
            // Whatever the defect left half done starts afresh.
            this.line = new Line()
            this.out = new Channel(this, this.plain)
            this.err = new Channel(this, this.errorStyle)
            this.pendingReturn = false
            this.skipping = false
        }
    }

    fail(error) {
        this.failures += 1
        this.lostText = true
        this.lastFailure = String(error) + (error && error.stack ? "\n" + error.stack : "")
        if (typeof console !== "undefined")
            console.error("The log pane could not show part of the log: " + this.lastFailure)
    }

    // ---- The tool's characters ----

    // One read of a channel, character by character as far as its meaning
    // goes; runs of plain text and whole colour sequences at a time.
    feed(channel, text) {
        const length = text.length
        let i = 0
        while (i < length) {
            const code = text.charCodeAt(i)
            if (this.pendingReturn && code !== CR && code !== LF) {
                this.pendingReturn = false
                this.line.restart()
            }
            if (code === LF || code === CR) {
                channel.state = ground
                this.line.size += 1
                if (code === LF) {
                    this.pendingReturn = false
                    this.finishLine(0)
                } else {
                    this.pendingReturn = true
                }
                ++i
                continue
            }
            if (channel.state !== ground) {
                const next = channel.step(text, i)
                if (next > i && !(code >= 0xdc00 && code <= 0xdfff && i > 0 && isHighSurrogate(text.charCodeAt(i - 1))))
                    this.line.size += 1
                i = next
                continue
            }
            if (this.skipping && !this.pendingReturn) {
                const end = this.countUnshown(text, i)
                if (end > i) {
                    i = end
                    continue
                }
            }
            if (code === ESC) {
                controlSequence.lastIndex = i
                if (controlSequence.test(text)) {
                    const end = controlSequence.lastIndex
                    if (text.charCodeAt(end - 1) === graphicsFinal)
                        channel.applyGraphics(text.substring(i + 2, end - 1))
                    this.line.size += end - i
                    i = end
                } else {
                    this.line.size += 1
                    i = channel.step(text, i)
                }
                continue
            }
            plainRun.lastIndex = i
            if (plainRun.test(text)) {
                const run = text.substring(i, plainRun.lastIndex)
                i = plainRun.lastIndex
                const width = codePoints(run)
                this.line.size += width
                this.line.marks = 0
                if (!this.skipping)
                    putText(this.line, channel.style, run, width)
                continue
            }
            this.line.size += 1
            if (this.skipping) {
                // Nothing of it shows.
            } else if (code === TAB) {
                this.putTab(channel.style)
            } else if (mark.test(text[i]) && this.line.marks < limits.marksPerCharacter) {
                this.line.marks += 1
                putText(this.line, channel.style, text[i])
            }
            ++i
        }
    }

    // A tab moves to the next stop from the column it stands at.
    putTab(style) {
        const line = this.line
        line.marks = 0
        if (line.column >= limits.lineLength) {
            line.cut += 1
            return
        }
        const stop = limits.tabWidth - line.column % limits.tabWidth
        putText(line, style, " ".repeat(Math.min(stop, limits.lineLength - line.column)))
    }

    // Text up to the next ESC or CR that cannot show, in the ground state:
    // only its lines and characters are counted. Returns where it ends.
    countUnshown(text, from) {
        let end = text.indexOf("\u001b", from)
        const carriageReturn = text.indexOf("\r", from)
        if (end < 0 || carriageReturn >= 0 && carriageReturn < end)
            end = carriageReturn
        if (end < 0)
            end = text.length
        const lastFeed = text.lastIndexOf("\n", end - 1)
        if (lastFeed < from) {
            this.line.size += codePoints(text.substring(from, end))
            return end
        }
        let feeds = 0
        for (let at = text.indexOf("\n", from); at >= 0 && at <= lastFeed; at = text.indexOf("\n", at + 1))
            feeds += 1
        this.droppedLines += feeds
        this.droppedCharacters += this.line.size + codePoints(text.substring(from, lastFeed + 1))
        this.line = new Line()
        this.line.size = codePoints(text.substring(lastFeed + 1, end))
        return end
    }

    // ---- Lines ----

    // The line ends; extra is what its end held in the log (a line feed).
    finishLine(extra) {
        const line = this.line
        line.size += extra
        this.line = new Line()
        if (this.skipping) {
            this.droppedLines += 1
            this.droppedCharacters += line.size
            return
        }
        // A line of one style is made markup at once: that costs little,
        // and the engine's collector marks two objects less for it.
        if (line.runs.length <= 1)
            this.settle(line)
        this.lines.push(line)
        this.keptCost += line.cost + cost.lineBreak
        this.keptSize += line.size
        this.dropLines()
    }

    // Finished lines beyond what the pane could show leave from the front.
    // Which are kept follows from the finished lines alone, so the
    // unfinished line, which may still shrink, never costs a line for good.
    dropLines() {
        while (this.lines.length - this.first > limits.shownLines || this.keptCost > limits.layoutBudget) {
            const line = this.lines[this.first]
            this.keptCost -= line.cost + cost.lineBreak
            this.keptSize -= line.size
            this.droppedLines += 1
            this.droppedCharacters += line.size
            this.lines[this.first] = null
            this.first += 1
        }
        if (this.first > 4096 && this.first * 2 > this.lines.length) {
            this.lines = this.lines.slice(this.first)
            this.first = 0
        }
    }

    // ---- What the pane shows ----

    // The last lines within the limits, the line being written (or the
    // verdict) last, and in front of them how much earlier output is left
    // out. A failure to render the tool's text costs that text, never the
    // verdict.
    display() {
        this.render()
        return this.markup()
    }

    // The same of what is rendered so far.
    markup() {
        let tool = ""
        try {
            tool = this.toolMarkup()
        } catch (error) {
            this.fail(error)
            tool = this.noteMarkup("… the log could not be shown here …") + lineBreak
        }
        if (this.verdict === null)
            return tool
        return tool + this.verdict.style.open + escapeMarkup(this.verdict.text) + this.verdict.style.close
    }

    // The same as plain text, for those who read the pane by other means
    // than looking at it.
    plainText() {
        this.render()
        return this.shownText()
    }

    shownText() {
        const shown = this.shownLines()
        let text = shown.note !== "" ? shown.note + "\n" : ""
        for (const line of shown.lines)
            text += this.finishedText(line) + "\n"
        if (this.verdict === null)
            return text + lineText(this.line)
        return text + this.verdict.text
    }

    toolMarkup() {
        const shown = this.shownLines()
        let markup = shown.note !== "" ? this.noteMarkup(shown.note) + lineBreak : ""
        if (shown.lines.length > 0)
            markup += shown.lines.map(line => this.finishedMarkup(line)).join(lineBreak) + lineBreak
        if (this.verdict === null)
            markup += this.lineMarkup(this.line)
        return markup
    }

    // Which finished lines show beside the last line, and the note for the
    // rest.
    shownLines() {
        const lastShows = this.verdict !== null || this.line.showsSomething()
        const lastCost = this.verdict !== null ? this.verdict.text.length * cost.wideCharacter : this.line.cost
        let count = lastShows ? 1 : 0
        let total = lastCost
        let from = this.lines.length
        while (from > this.first) {
            const line = this.lines[from - 1]
            if (count + 1 > limits.shownLines || total + line.cost + cost.lineBreak > limits.layoutBudget)
                break
            count += 1
            total += line.cost + cost.lineBreak
            from -= 1
        }
        let lines = this.droppedLines
        let characters = this.droppedCharacters
        for (let k = this.first; k < from; ++k) {
            lines += 1
            characters += this.lines[k].size
        }
        let note = lines > 0 ? "… " + counted(lines, "earlier line") + " (" + counted(characters, "character") + ") not shown …" : ""
        if (this.lostText)
            note = (note !== "" ? note + " " : "") + "… part of the log could not be shown …"
        return { note: note, lines: this.lines.slice(from) }
    }

    // A finished line is made markup when it first shows: most lines of a
    // flood leave before that. From then on it keeps its markup and its
    // text, not its runs: with a colour change on every character the runs
    // are an object a character, and the engine's collector marks every one
    // of them at every collection.
    finishedMarkup(line) {
        this.settle(line)
        return line.markup
    }

    finishedText(line) {
        this.settle(line)
        return line.text
    }

    settle(line) {
        if (line.runs === null)
            return
        line.markup = this.lineMarkup(line)
        line.text = lineText(line)
        line.runs = null
    }

    // An error line takes the standard-error red where the tool set no
    // colour of its own.
    lineMarkup(line) {
        const errorLine = errorLinePrefixes.some(prefix => line.head.startsWith(prefix))
        let markup = ""
        let afterSpace = true
        for (const run of line.runs) {
            const style = errorLine && run.style === this.plain ? this.errorStyle : run.style
            markup += style.open + keepSpaces(escapeMarkup(run.text), afterSpace) + style.close
            afterSpace = run.text.endsWith(" ")
        }
        if (line.cut > 0)
            markup += this.noteMarkup(keepSpaces(" … " + counted(line.cut, "more character") + " not shown", afterSpace))
        return markup
    }

    noteMarkup(text) {
        return this.noteStyle.open + text + this.noteStyle.close
    }
}

// Where the lines that cannot show end: [read, offset] right after the line
// feed that has as many finished lines after it as the pane shows, or
// [-1, 0] when every line may show. A read counts from where its rendering
// stopped.
function skipPoint(reads) {
    let feeds = 0
    for (let r = reads.length - 1; r >= 0; --r) {
        const { text, at: from } = reads[r]
        for (let at = text.lastIndexOf("\n"); at >= from; at = at > from ? text.lastIndexOf("\n", at - 1) : -1) {
            feeds += 1
            if (feeds > limits.shownLines)
                return [r, at + 1]
        }
    }
    return [-1, 0]
}

function isHighSurrogate(code) {
    return code >= 0xd800 && code <= 0xdbff
}

function lineText(line) {
    if (line.runs === null)
        return line.text
    const text = line.runs.map(run => run.text).join("")
    return line.cut > 0 ? text + " … " + counted(line.cut, "more character") + " not shown" : text
}

export function createRenderer() {
    return new LogRenderer()
}
