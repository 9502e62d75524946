"""What a screen reader finds through AT-SPI, for the keyboard and screen
reader test. Runs on the session bus that DBUS_SESSION_BUS_ADDRESS names.

    accessibletree.py on     says that a screen reader runs, as Orca does, so
                             that programs started afterwards expose their
                             windows
    accessibletree.py tree   prints every application's accessible objects,
                             in tree order, as one JSON list: role, name,
                             states, the index of the parent, and the text of
                             those that have text
"""
import json
import sys

import pyatspi
from gi.repository import Gio, GLib


def switch_on():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                  GLib.Variant("(ssv)", ("org.a11y.Status", "ScreenReaderEnabled", GLib.Variant("b", True))),
                  None, Gio.DBusCallFlags.NONE, 10000, None)


# Newer AT-SPI (Debian 13) names the push button role "button".
ROLE_NAMES = {"button": "push button"}


def tree():
    nodes = []

    def visit(node, parent):
        entry = {
            "role": ROLE_NAMES.get(node.getRoleName(), node.getRoleName()),
            "name": node.name,
            "states": sorted(pyatspi.stateToString(state) for state in node.getState().getStates()),
            "parent": parent,
        }
        if "Text" in node.get_interfaces():
            entry["text"] = node.queryText().getText(0, -1)
        nodes.append(entry)
        index = len(nodes) - 1
        for child in node:
            if child is not None:
                visit(child, index)

    for application in pyatspi.Registry.getDesktop(0):
        if application is not None:
            visit(application, -1)
    return nodes


if __name__ == "__main__":
    # A window changing while it is read (a dialog that opens) is read again
    # by the caller; so is one whose program is not yet there.
    try:
        if sys.argv[1:] == ["on"]:
            switch_on()
        else:
            print(json.dumps(tree()))
    except Exception as error:
        print(json.dumps({"error": str(error)}))
        sys.exit(1)
