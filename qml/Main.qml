import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import "logrenderer.mjs" as LogRenderer

Window {
    id: root

    width: 800
    height: 520
    visible: true
    title: qsTr("ESP32-S3 Velmorin")
    // A window opened while a job runs, or after it, shows its log so far.
    Component.onCompleted: {
        if (flashController.flashOutput.length > 0)
            logText.take(renderer => renderer.takeWholeLog(flashController.flashOutput, flashController.isFlashing))
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

                        // Made when the first output comes, not with the window.
                        property var renderer: null
                        // What the pane shows, as plain text.
                        property string plainText: ""
                        // Milliseconds the last change of the text took.
                        property int layoutTime: 0
                        // When it last changed (Date.now()).
                        property double shownAt: 0

                        // Output waits for the next show, so that a flood's
                        // lines that later output pushes out are only counted;
                        // the job's end is rendered and shown at once.
                        function take(change) {
                            if (renderer === null)
                                renderer = LogRenderer.createRenderer()
                            change(renderer)
                            if (renderer.endTaken())
                                Qt.callLater(render)
                            else
                                showTimer.start()
                        }

                        // A slice of the output a turn of the event loop, so
                        // that a click waits for one slice at most; shown once
                        // all of it is rendered, and as it goes while a flood
                        // outruns the renderer.
                        function render() {
                            if (!renderer.render(Date.now() + LogRenderer.limits.renderTime)) {
                                Qt.callLater(render)
                                if (Date.now() - shownAt >= LogRenderer.limits.floodShowInterval)
                                    show()
                                return
                            }
                            showTimer.stop()
                            show()
                        }

                        function show() {
                            const start = Date.now()
                            text = renderer.markup()
                            plainText = renderer.shownText()
                            shownAt = Date.now()
                            layoutTime = shownAt - start
                        }

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

                    // The log is shown as often as a person can follow it,
                    // and less often while a flood makes each layout costly.
                    Timer {
                        id: showTimer

                        interval: Math.max(LogRenderer.limits.showInterval,
                                           LogRenderer.limits.floodPause * logText.layoutTime)
                        onTriggered: Qt.callLater(logText.render)
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
            logText.take(renderer => renderer.takeChange(flashController.flashOutput, flashController.isFlashing))
        }

        function onFlashSucceeded() {
            logText.take(renderer => renderer.expectCompletion())
            successDialog.open()
        }

        function onFlashFailed(reason) {
            logText.take(renderer => renderer.expectCompletion())
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
}
