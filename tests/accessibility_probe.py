#!/usr/bin/python3
"""Drives a running Cuevox through AT-SPI, the way a screen reader reaches it: by walking the
accessible tree from the desktop down to the table, its rows and their controls.

    accessibility_probe.py play    press row 2's Play button by its accessibility action
    accessibility_probe.py icons   read the option icons of row 2
    accessibility_probe.py table   use the table as a table: counts, look-up, row selection

Exits non-zero, saying why, when the program does not show what the check expects."""
import os
import subprocess
import sys
import tempfile
import time

import pyatspi


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except Exception:  # an object that is being rebuilt answers nothing for a moment
            pass
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def walk(accessible):
    yield accessible
    for child in accessible:
        if child is not None:
            yield from walk(child)


def find(root, role, name=None):
    for accessible in walk(root):
        if accessible.getRole() == role and (name is None or accessible.name == name):
            return accessible
    return None


def application(name):
    found = []

    def registered():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name:
                found.append(app)
                return True
        return False

    wait_for(registered, 20, "the program on the accessibility bus")
    return found[0]


def row(number):
    app = application("Cuevox")
    holder = []

    def shown():
        table = find(app, pyatspi.ROLE_TABLE, "Cues")
        for child in table:
            if child.getRole() == pyatspi.ROLE_TABLE_ROW and (
                child.name == "Cue %d" % number or child.name.startswith("Cue %d:" % number)
            ):
                holder.append(child)
                return True
        return False

    wait_for(shown, 10, "row %d in the cue table" % number)
    return holder[0]


def press(accessible):
    action = accessible.queryAction()
    for i in range(action.nActions):
        if action.getName(i) == "Press":
            action.doAction(i)
            return
    fail("%r offers no Press action" % accessible.name)


def recorded_rms(seconds):
    """The level of what the program plays, recorded from the private sound server."""
    soundbox = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                            "soundbox.sh")
    with tempfile.TemporaryDirectory() as folder:
        wav = os.path.join(folder, "take.wav")
        subprocess.run(["bash", soundbox, "record", wav, str(seconds)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stat = subprocess.run(["sox", wav, "-n", "stat"], capture_output=True, text=True)
    for line in stat.stderr.splitlines():
        if line.startswith("RMS     amplitude:"):
            return float(line.split(":")[1])
    fail("no level in the recording: " + stat.stderr)


def check_play():
    second = row(2)
    button = find(second, pyatspi.ROLE_PUSH_BUTTON, "Play")
    if button is None:
        fail("row 2 has no Play button: " + repr([a.name for a in walk(second)]))
    position = find(second, pyatspi.ROLE_SLIDER, "Position")
    others = [find(row(n), pyatspi.ROLE_PUSH_BUTTON) for n in (1, 3)]

    press(button)
    wait_for(lambda: button.name == "Stop", 5, "row 2's button to read Stop")
    # The cue plays: its row's position moves on from the start of the file.
    wait_for(lambda: position.queryValue().currentValue >= 1.0, 5,
             "row 2's position to pass one second")
    if [other.name for other in others] != ["Play", "Play"]:
        fail("other rows changed: " + repr([other.name for other in others]))
    if os.environ.get("PULSE_SERVER"):
        level = recorded_rms(1)
        if level < 0.02:
            fail("row 2 plays silence (RMS %f)" % level)
        print("row 2 heard at RMS %.3f" % level)

    # A second press is a second click: the cue stops and its row returns to the start.
    press(button)
    wait_for(lambda: button.name == "Play", 5, "row 2's button to read Play again")
    wait_for(lambda: position.queryValue().currentValue == 0.0, 5,
             "row 2's position back at the start")
    print("row 2 played and stopped through its Play button's action")


def check_icons():
    options = find(row(2), pyatspi.ROLE_TABLE_CELL, "Options")
    shown = [child for child in options if child is not None]
    icons = [(icon.description, icon.name) for icon in shown if icon.name != "Outputs"]
    expected = [
        ("Persist/Extend Icon", "off"),
        ("Cut Icon", "on"),
        ("Fade In and Out Icon", "on"),
        ("Repeat Icon", "off"),
    ]
    if icons != expected:
        fail("row 2's icons read %r, expected %r" % (icons, expected))
    if any(icon.getRole() != pyatspi.ROLE_IMAGE for icon in shown if icon.name != "Outputs"):
        fail("an option icon is not an image")
    route = [child.description for child in shown if child.name == "Outputs"]
    if route != ["Left to output 1 at 0.0 dB, right to output 2 at 0.0 dB"]:
        fail("row 2's outputs read %r" % route)
    volume = find(row(2), pyatspi.ROLE_SLIDER, "Volume").queryValue()
    if abs(volume.currentValue - 0.5) > 1e-6 or volume.maximumValue != 1.0:
        fail("row 2's volume reads %f of %f" % (volume.currentValue, volume.maximumValue))
    print("row 2's icons and volume read as set")


def check_table():
    second = row(2)
    table = find(application("Cuevox"), pyatspi.ROLE_TABLE, "Cues").queryTable()
    if (table.nRows, table.nColumns) != (3, 7):
        fail("the table counts %d rows and %d columns" % (table.nRows, table.nColumns))
    columns = [table.getColumnDescription(c) for c in range(7)]
    if columns != ["#", "Play", "Title", "Options", "Position", "Volume", "Edit"]:
        fail("columns read %r" % columns)
    if table.getRowDescription(1) != "Cue 2":
        fail("row 2 reads %r" % table.getRowDescription(1))

    # Looked up by row and column, a cell is the one the tree holds in that row.
    play = table.getAccessibleAt(1, 1)
    if play is None or play.getRole() != pyatspi.ROLE_TABLE_CELL:
        fail("no cell at row 2, column 2")
    if not play.parent.name.startswith("Cue 2") or find(play, pyatspi.ROLE_PUSH_BUTTON,
                                                         "Play") is None:
        fail("the cell at row 2, column 2 is not row 2's Play: %r in %r" % (
            [a.name for a in walk(play)], play.parent.name))
    position = table.getAccessibleAt(1, 4)
    if find(position, pyatspi.ROLE_SLIDER, "Position") is None:
        fail("the cell at row 2, column 5 holds no position slider")
    if find(second, pyatspi.ROLE_SLIDER, "Position").queryValue().maximumValue != 15.0:
        fail("row 2's position slider does not run to its cut end")

    # Rows are selected through the table as the operator would select them.
    table.addRowSelection(2)
    wait_for(lambda: table.isRowSelected(2), 5, "row 3 to be selected")
    table.addRowSelection(0)
    wait_for(lambda: table.nSelectedRows == 2, 5, "rows 1 and 3 to be selected")
    if table.isRowSelected(1):
        fail("row 2 was selected with its neighbours")
    table.removeRowSelection(2)
    wait_for(lambda: not table.isRowSelected(2), 5, "row 3 to be deselected")
    if not table.isRowSelected(0):
        fail("row 1 lost its selection with row 3")
    print("the cue table answers as a table: %d x %d, cells by row and column, rows selected"
          % (table.nRows, table.nColumns))


if __name__ == "__main__":
    {"play": check_play, "icons": check_icons, "table": check_table}[sys.argv[1]]()
