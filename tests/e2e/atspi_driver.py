#!/usr/bin/python3
"""Reads and works the windows of a running program through the accessibility bus (AT-SPI),
as a screen reader would. Needs Debian's python3-pyatspi (run it with /usr/bin/python3).

  atspi_driver.py dump PID
      One line per object of every window of the program with process id PID, depth first:
      ROLE <tab> NAME <tab> FLAGS <tab> SELECTED <tab> DESCRIPTION
      FLAGS holds "s" when the object is showing, "c" when it is checked and "e" when it is
      enabled (can be worked); SELECTED is the selected entry of a combo box; DESCRIPTION is
      what a screen reader says of the object beyond its name. A line "window" <tab> ROLE <tab>
      NAME starts each window.
  atspi_driver.py select PID COMBO ENTRY
      Selects the entry named ENTRY in the combo box named COMBO.
  atspi_driver.py do PID ROLE NAME
      Does the first action (click, toggle, activate) of the first object with that role and
      name in any window of the program.
  atspi_driver.py extents PID ROLE NAME [UP]
      Prints "X Y WIDTH HEIGHT" of that object, or of its parent UP levels up, relative to its
      window.
  atspi_driver.py keys PID KEY STEP...
      For each STEP presses KEY (xdotool, through XTest) and waits up to 30 s for the focus to
      be on what STEP names: "ROLE:NAME", "ROLE:*" (another object of that role than the step
      before) or "-" (no object reports the focus, as in a combo box). Prints a line a step:
      ROLE <tab> NAME <tab> X Y WIDTH HEIGHT on the screen <tab> "shown", or "hidden" when
      outside a scrolled area around it; "-" for no object. Exits 1 at a step not reached.
  atspi_driver.py layout PID
      One line per showing object of the program's windows, as "keys" prints a step, with the
      window's own lines as "dump" prints them.
  atspi_driver.py focus PID
      Prints "ROLE:NAME" of the object of an active window of the program that has the
      keyboard focus, or "-" for none.

Exit status 0 on success, 1 when the program, the object or the entry is not (yet) there,
2 on wrong usage.
"""
import subprocess
import sys
import time

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
            print("%s\t%s\t%s\t%s\t%s" % (a.getRoleName(), one_line(a.name), flags(a),
                                          one_line(selected), one_line(a.description)))
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


def focused_object(app):
    """The showing object of the program that has the keyboard focus, or None."""
    def search(accessible):
        state = accessible.getState()
        if not state.contains(pyatspi.STATE_SHOWING):
            return None
        if state.contains(pyatspi.STATE_FOCUSED):
            return accessible
        if accessible.getRole() in (pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_MENU_BAR):
            return None
        for child in accessible:
            if child is not None:
                found = search(child)
                if found is not None:
                    return found
        return None
    for window in app:
        if window is not None and window.getState().contains(pyatspi.STATE_ACTIVE):
            found = search(window)
            if found is not None:
                return found
    return None


def inside_scrolled_areas(accessible, box):
    parent = accessible.parent
    while parent is not None:
        if parent.getRole() in (pyatspi.ROLE_VIEWPORT, pyatspi.ROLE_SCROLL_PANE):
            area = parent.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            if (box.x < area.x or box.y < area.y or box.x + box.width > area.x + area.width or
                    box.y + box.height > area.y + area.height):
                return False
        parent = parent.parent
    return True


def describe(accessible):
    if accessible is None:
        return "-"
    box = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return "%s\t%s\t%d %d %d %d\t%s" % (
        accessible.getRoleName(), one_line(accessible.name), box.x, box.y, box.width, box.height,
        "shown" if inside_scrolled_areas(accessible, box) else "hidden")


def step_name(accessible):
    return "-" if accessible is None else "%s:%s" % (accessible.getRoleName(), accessible.name)


def reached(step, focused, before):
    if step.endswith(":*"):
        return (focused is not None and step_name(focused) != step_name(before) and
                focused.getRoleName() == step[:-2])
    return step_name(focused) == step


def keys(app, key, steps):
    # The key events reach the program in order, so waiting for each step in turn keeps up
    # with it; where two steps in a row name no object, the second cannot be told apart and
    # the step after it is waited for instead.
    before = focused_object(app)
    for step in steps:
        subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True)
        deadline = time.monotonic() + 30
        while True:
            focused = focused_object(app)
            if reached(step, focused, before):
                before = focused
                break
            if time.monotonic() > deadline:
                print("expected %s, the focus is on %s" % (step, step_name(focused)))
                return 1
        print(describe(focused))
        sys.stdout.flush()
    return 0


def layout(app):
    for window in app:
        if window is None:
            continue
        print("window\t%s\t%s" % (window.getRoleName(), one_line(window.name)))
        for a in walk(window):
            if a.getState().contains(pyatspi.STATE_SHOWING):
                print(describe(a))
    return 0


def main(argv):
    if len(argv) < 3 or argv[1] not in ("dump", "select", "do", "extents", "keys", "layout", "focus"):
        print(__doc__, file=sys.stderr)
        return 2
    app = application(int(argv[2]))
    if app is None:
        print("no application with process id %s on the accessibility bus" % argv[2],
              file=sys.stderr)
        return 1
    if argv[1] == "dump" and len(argv) == 3:
        return dump(app)
    if argv[1] == "layout" and len(argv) == 3:
        return layout(app)
    if argv[1] == "select" and len(argv) == 5:
        return select(app, argv[3], argv[4])
    if argv[1] == "do" and len(argv) == 5:
        return do(app, argv[3], argv[4])
    if argv[1] == "focus" and len(argv) == 3:
        print(step_name(focused_object(app)))
        return 0
    if argv[1] == "keys" and len(argv) >= 5:
        return keys(app, argv[3], argv[4:])
    if argv[1] == "extents" and len(argv) in (5, 6):
        return extents(app, argv[3], argv[4], int(argv[5]) if len(argv) == 6 else 0)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
