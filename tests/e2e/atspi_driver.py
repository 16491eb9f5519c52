#!/usr/bin/python3
"""Reads and works the windows of a running program through the accessibility bus (AT-SPI),
as a screen reader would. Needs Debian's python3-pyatspi (run it with /usr/bin/python3).

  atspi_driver.py dump PID
      One line per object of every window of the program with process id PID, depth first:
      ROLE <tab> NAME <tab> FLAGS <tab> SELECTED
      FLAGS holds "s" when the object is showing, "c" when it is checked and "e" when it is
      enabled (can be worked); SELECTED is the selected entry of a combo box. A line "window" <tab> ROLE <tab> NAME starts each window.
  atspi_driver.py select PID COMBO ENTRY
      Selects the entry named ENTRY in the combo box named COMBO.
  atspi_driver.py do PID ROLE NAME
      Does the first action (click, toggle, activate) of the first object with that role and
      name in any window of the program.
  atspi_driver.py extents PID ROLE NAME [UP]
      Prints "X Y WIDTH HEIGHT" of that object, or of its parent UP levels up, relative to its
      window.

Exit status 0 on success, 1 when the program, the object or the entry is not (yet) there,
2 on wrong usage.
"""
import sys

import pyatspi


def application(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            pass  # an application that left while we looked
    return None


def selected_name(combo):
    try:
        selection = combo.querySelection()
        if selection.nSelectedChildren > 0:
            return selection.getSelectedChild(0).name
    except NotImplementedError:
        pass
    return ""


def walk(accessible):
    """The object and its descendants, depth first; the entries of combo boxes are left out
    (a key list alone has 78 of them), their selection is reported instead."""
    yield accessible
    if accessible.getRole() == pyatspi.ROLE_COMBO_BOX:
        return
    for child in accessible:
        if child is not None:
            yield from walk(child)


def flags(accessible):
    state = accessible.getState()
    return ("s" if state.contains(pyatspi.STATE_SHOWING) else "") + (
        "c" if state.contains(pyatspi.STATE_CHECKED) else "") + (
        "e" if state.contains(pyatspi.STATE_SENSITIVE) else "")


def one_line(text):
    return text.replace("\t", " ").replace("\n", "\\n")


def dump(app):
    for window in app:
        if window is None:
            continue
        print("window\t%s\t%s" % (window.getRoleName(), one_line(window.name)))
        for a in walk(window):
            selected = selected_name(a) if a.getRole() == pyatspi.ROLE_COMBO_BOX else ""
            print("%s\t%s\t%s\t%s" % (a.getRoleName(), one_line(a.name), flags(a),
                                      one_line(selected)))
    return 0


def find(app, role_name, name):
    for window in app:
        if window is None:
            continue
        for a in walk(window):
            if a.getRoleName() == role_name and a.name == name:
                return a
    return None


def select(app, combo_name, entry_name):
    combo = find(app, "combo box", combo_name)
    if combo is None:
        print("no combo box %r" % combo_name, file=sys.stderr)
        return 1
    menu = combo[0]
    for index, entry in enumerate(menu):
        if entry is not None and entry.name == entry_name:
            combo.querySelection().selectChild(index)
            return 0
    print("combo box %r has no entry %r" % (combo_name, entry_name), file=sys.stderr)
    return 1


def do(app, role_name, name):
    target = find(app, role_name, name)
    if target is None:
        print("no %s %r" % (role_name, name), file=sys.stderr)
        return 1
    target.queryAction().doAction(0)
    return 0


def extents(app, role_name, name, up):
    target = find(app, role_name, name)
    if target is None:
        print("no %s %r" % (role_name, name), file=sys.stderr)
        return 1
    for _ in range(up):
        target = target.parent
    box = target.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
    print("%d %d %d %d" % (box.x, box.y, box.width, box.height))
    return 0


def main(argv):
    if len(argv) < 3 or argv[1] not in ("dump", "select", "do", "extents"):
        print(__doc__, file=sys.stderr)
        return 2
    app = application(int(argv[2]))
    if app is None:
        print("no application with process id %s on the accessibility bus" % argv[2],
              file=sys.stderr)
        return 1
    if argv[1] == "dump" and len(argv) == 3:
        return dump(app)
    if argv[1] == "select" and len(argv) == 5:
        return select(app, argv[3], argv[4])
    if argv[1] == "do" and len(argv) == 5:
        return do(app, argv[3], argv[4])
    if argv[1] == "extents" and len(argv) in (5, 6):
        return extents(app, argv[3], argv[4], int(argv[5]) if len(argv) == 6 else 0)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
