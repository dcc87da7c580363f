#!/usr/bin/env python3
"""End-to-end check of the desktop program through its accessibility interface.

Starts `quorvin` under Xvfb, with openbox as the window manager (focus moves between windows
as on a person's desktop) and a private D-Bus session and accessibility bus, with three media
files on its command line, and then works it only through AT-SPI, as a screen reader
would: buttons and menu entries are found by their names, drop-down lists by the labels that
name them. It chooses an output folder with the folder browser, converts the three files in
two formats one run after the other, expects "Done" in every row and "All Conversions
Completed" after each run, and decodes every output completely with the ffmpeg tool. The second
run ends while another program's window is the active one: its end, and only its, is told to
the desktop as a notification.

A second start lists a script that names a named pipe (its opening blocks until a writer
comes), a good file and a file that is no video: the window must answer while the pipe
blocks; an output folder is typed; the keyboard alone goes from the list to Start; the failed
row's reason is read as its cell's accessible description; the end message gives the counts;
Ctrl+Q ends the program and the changed settings are found stored. A third start is ended by
SIGTERM during a run: no temporary or partial output may stay behind. A sixth start converts six
files two at once (set in the Options dialog), sees two rows converting together and all Done,
and ends a second run with Stop After Current while two rows convert: those two finish, the
other four are not started, and the end message counts them. Before all that,
`quorvin --help` and an unknown option are tried without a display.

With QUORVIN_ATSPI_SHOTS=FOLDER pictures of the new states are saved there.

Usage: convert_by_accessibility.py PATH/TO/quorvin
       convert_by_accessibility.py --screenshot OUT.png PATH/TO/quorvin
Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb, openbox, D-Bus or AT-SPI on this
machine). A key is pressed only once AT-SPI shows which control of the main window holds the
keyboard focus.

With --screenshot it instead lists a few files, starts a run and saves a picture of the main
window while the second file is being converted (needs ImageMagick's `import`).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def fail(reason):
    print("FAIL: " + reason)
    sys.exit(1)


def log(text):
    print(text, flush=True)


# ---- environment: Xvfb, then a D-Bus session with the accessibility bus ----

def outer(program, screenshot=None):
    for tool in ("Xvfb", "openbox", "dbus-run-session", "ffmpeg"):
        if shutil.which(tool) is None:
            skip(tool + " is not installed")
    if not os.path.exists(BUS_LAUNCHER):
        skip("the AT-SPI bus launcher is not installed")
    python = sys.executable
    probe = subprocess.run([python, "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        python = "/usr/bin/python3"
        if not os.path.exists(python) or subprocess.run(
                [python, "-c", "import pyatspi"], capture_output=True).returncode != 0:
            skip("python3-pyatspi is not installed")

    check_without_display(program)

    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x960x24",
                             "-nolisten", "tcp"], pass_fds=(write_fd,),
                            stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        display = f.readline().strip()
    if not display:
        xvfb.kill()
        skip("Xvfb did not start")
    wm = None
    try:
        env = dict(os.environ, DISPLAY=":" + display)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        wm = start_window_manager(env)
        extra = ["--screenshot", screenshot] if screenshot else []
        result = subprocess.run(["dbus-run-session", "--", python, os.path.abspath(__file__),
                                 "--inner"] + extra + [program], env=env, timeout=900)
        return result.returncode
    finally:
        if wm is not None:
            wm.terminate()
            wm.wait()
            shutil.rmtree(wm.folder, ignore_errors=True)
        xvfb.terminate()
        xvfb.wait()


def start_window_manager(env, timeout=60.0):
    """Starts openbox on the display of ENV and returns once it manages the screen (it runs its
    start-up command only then)."""
    folder = tempfile.mkdtemp(prefix="quorvin-wm-")
    ready = os.path.join(folder, "ready")
    wm = subprocess.Popen(["openbox", "--sm-disable", "--startup", "touch " + ready],
                          env=dict(env, XDG_CONFIG_HOME=folder), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    deadline = time.time() + timeout
    while not os.path.exists(ready):
        if wm.poll() is not None or time.time() > deadline:
            wm.kill()
            wm.wait()
            shutil.rmtree(folder, ignore_errors=True)
            fail("openbox did not start on the Xvfb display within %d s" % timeout)
        time.sleep(0.1)
    wm.folder = folder  # removed once openbox has ended
    log("window manager: openbox")
    return wm


def check_without_display(program):
    """--help and unknown options need no window; without a display the program says so."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    result = subprocess.run([program, "--help"], env=env, capture_output=True, text=True,
                            timeout=30)
    if result.returncode != 0 or not result.stdout.startswith("Usage: quorvin"):
        fail("--help: status %d, output %r" % (result.returncode, result.stdout[:200]))
    result = subprocess.run([program, "--bogus"], env=env, capture_output=True, text=True,
                            timeout=30)
    if result.returncode != 2 or "unknown option '--bogus'" not in result.stderr:
        fail("--bogus: status %d, %r" % (result.returncode, result.stderr[:200]))
    result = subprocess.run([program, "--", "--help"], env=env, capture_output=True, text=True,
                            timeout=30)
    if result.returncode != 1 or "no display" not in result.stderr:
        fail("without a display: status %d, %r" % (result.returncode, result.stderr[:200]))
    log("--help, --bogus and a start without a display: 0, 2 and 1, no window")


# ---- inside the session ----

def inner(program, screenshot=None):
    launcher = subprocess.Popen([BUS_LAUNCHER, "--launch-immediately"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    try:
        import pyatspi  # imported after the accessibility bus exists
        pyatspi.Registry.getDesktop(0).childCount
    except Exception as e:
        launcher.terminate()
        skip("the accessibility bus cannot be used: %s" % e)
    work = tempfile.mkdtemp(prefix="quorvin-atspi-")
    app_proc = None
    try:
        media = os.path.join(work, "Videos")
        os.mkdir(media)
        sources = make_sources(media, screenshot is not None)
        out_folder = os.path.join(media, "Converted")
        os.mkdir(out_folder)
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
                   XDG_CONFIG_HOME=os.path.join(work, "config"),
                   XDG_DATA_HOME=os.path.join(work, "data"), QT_QPA_PLATFORM="xcb")
        env.pop("QT_QPA_PLATFORMTHEME", None)
        # Desktop notifications the program sends at the end of a run (no service answers them).
        monitor = subprocess.Popen(
            ["dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True) \
            if shutil.which("dbus-monitor") and not screenshot else None
        app_proc = subprocess.Popen([program] + sources, env=env)
        if screenshot:
            Session(app_proc).picture(out_folder, screenshot)
            return 0
        first = Session(app_proc)
        first.run(sources, out_folder)
        app_proc.kill()
        app_proc.wait()
        if monitor is not None:
            # A run that ends while the window is not the active one (the window manager gave
            # the keyboard to another window) tells the desktop; one that ends in the active
            # window does not.
            monitor.terminate()
            calls = monitor.communicate(timeout=10)[0]
            sent = calls.count("member=Notify")
            expected = first.inactive_runs
            log("desktop notifications at the ends of the runs: %d (runs in an inactive "
                "window: %d)" % (sent, expected))
            if sent != expected or (expected and "All Conversions Completed" not in calls):
                fail("expected %d desktop notifications, saw %d" % (expected, sent))

        # Second start: a source that blocks, a typed folder, the keyboard, a failed row.
        pipe = os.path.join(media, "pipe")
        os.mkfifo(pipe)
        script = os.path.join(media, "blocks.avs")
        with open(script, "w") as f:
            f.write('DirectShowSource("%s", fps=25)\r\n' % pipe)
        playlist = os.path.join(media, "playlist.mp4")
        with open(playlist, "w") as f:
            f.write("ffconcat version 1.0\nfile pipe\n")
        not_video = os.path.join(media, "notes.avi")
        with open(not_video, "w") as f:
            f.write("this is not a video\n")
        typed_folder = os.path.join(work, "Typed output")
        os.mkdir(typed_folder)
        # Each start lists only its own files: the list the last one kept is dropped.
        shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)
        app_proc = subprocess.Popen([program, playlist, script, sources[0], not_video], env=env)
        Session(app_proc).run_by_keyboard(pipe, typed_folder, env)
        try:
            status = app_proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            fail("Ctrl+Q, pressed with the focus in the main window, did not end the program "
                 "within 120 s")
        if status != 0:
            fail("Ctrl+Q ended the program with status %d" % status)
        conf = os.path.join(work, "config", "Quorvin", "Quorvin iPod Video Converter.conf")
        with open(conf) as f:
            stored = f.read()
        if typed_folder not in stored:
            fail("Ctrl+Q lost the typed output folder: %s" % stored)
        log("Ctrl+Q kept the typed output folder in the settings")

        # Third start: SIGTERM during a run.
        long_source = os.path.join(media, "long.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc=size=640x480:rate=25:d=60", "-c:v", "mpeg4", "-q:v", "5",
                        long_source], check=True)
        end_folder = os.path.join(work, "Terminated")
        os.mkdir(end_folder)
        shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)
        app_proc = subprocess.Popen([program, long_source], env=env)
        Session(app_proc).terminate_during_run(end_folder)

        # Fourth start: killed during a run, then a fifth start shows the kept list.
        shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)
        killed_folder = os.path.join(work, "Killed")
        os.mkdir(killed_folder)
        # Long enough that the kill comes well before its end.
        longer_source = os.path.join(media, "longer.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc=size=640x480:rate=25:d=300", "-c:v", "mpeg4", "-q:v", "5",
                        longer_source], check=True)
        app_proc = subprocess.Popen([program, sources[0], longer_source], env=env)
        Session(app_proc).kill_during_run(killed_folder)
        app_proc = subprocess.Popen([program], env=env)
        Session(app_proc).list_kept_after_kill(killed_folder)

        # Sixth start: six files two at once, then a run ended by Stop After Current.
        shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)
        batch = []
        for i in range(6):
            clip = os.path.join(media, "batch %d.mp4" % (i + 1))
            subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc=size=640x480:rate=25:d=20", "-f", "lavfi", "-i",
                            "sine=d=20", "-c:v", "mpeg4", "-q:v", "5", "-c:a", "aac",
                            "-shortest", clip], check=True)
            batch.append(clip)
        batch_folder = os.path.join(work, "Batch")
        os.mkdir(batch_folder)
        app_proc = subprocess.Popen([program] + batch, env=env)
        Session(app_proc).several_at_once(batch_folder, len(batch))
        for clip in batch:
            check_output(os.path.join(batch_folder, os.path.basename(clip)))
        log("PASS")
        return 0
    finally:
        if app_proc is not None and app_proc.poll() is None:
            app_proc.kill()
            app_proc.wait()
        launcher.terminate()
        shutil.rmtree(work, ignore_errors=True)


def make_sources(work, for_picture=False):
    def ffmpeg(args, name):
        path = os.path.join(work, name)
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error"] + args + [path], check=True)
        return path
    if for_picture:
        return [
            ffmpeg(["-f", "lavfi", "-i", "testsrc=size=640x480:rate=25:d=2", "-f", "lavfi", "-i",
                    "sine=d=2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest"], "Holiday 2026.mp4"),
            ffmpeg(["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:d=60", "-f", "lavfi",
                    "-i", "sine=d=60", "-c:v", "mpeg4", "-q:v", "8", "-c:a", "aac", "-shortest"],
                   "Concert recording.mp4"),
            ffmpeg(["-f", "lavfi", "-i", "testsrc=size=720x576:rate=25:d=20", "-c:v", "mpeg2video",
                    "-f", "vob"], "Wedding.vob"),
            ffmpeg(["-f", "lavfi", "-i", "sine=frequency=330:d=200", "-c:a", "libmp3lame"],
                   "Podcast episode 12.mp3"),
            ffmpeg(["-f", "lavfi", "-i", "testsrc=size=320x240:rate=15:d=45", "-c:v", "mjpeg"],
                   "Birthday.avi"),
            ffmpeg(["-f", "lavfi", "-i", "sine=frequency=550:d=75"], "Interview.wav"),
        ]
    return [
        ffmpeg(["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:d=2", "-f", "lavfi", "-i",
                "sine=frequency=440:d=2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest"],
               "first clip.mp4"),
        ffmpeg(["-f", "lavfi", "-i", "testsrc2=size=176x144:rate=30:d=2", "-f", "lavfi", "-i",
                "sine=frequency=660:d=2", "-c:v", "mjpeg", "-c:a", "pcm_s16le", "-shortest"],
               "second.avi"),
        ffmpeg(["-f", "lavfi", "-i", "sine=frequency=880:d=2", "-c:a", "libmp3lame"],
               "third.mp3"),
    ]


class Session:
    def __init__(self, proc):
        import pyatspi
        self.pyatspi = pyatspi
        self.proc = proc
        self.app = None
        self.inactive_runs = 0  # runs started while the main window was not the active one

    # -- finding things --

    def wait(self, what, find, timeout=30.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                fail("the program ended while waiting for " + what)
            try:
                found = find()
            except Exception:
                found = None
            if found:
                return found
            time.sleep(0.2)
        fail("timed out waiting for " + what)

    def application(self):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == "Quorvin iPod Video Converter":
                return app
        return None

    def all(self, root, role=None, name=None, showing=False):
        found = []
        stack = [root]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            try:
                if (role is None or node.getRoleName() == role) and \
                        (name is None or node.name == name):
                    if not showing or node.getState().contains(self.pyatspi.STATE_SHOWING):
                        found.append(node)
                stack.extend(node.getChildAtIndex(i) for i in range(node.childCount - 1, -1, -1))
            except Exception:
                continue
        return found

    def one(self, root, role, name, showing=True):
        nodes = self.all(root, role, name, showing)
        return nodes[0] if nodes else None

    def labelled(self, root, label_text):
        """The control a label names (its "label for" relation), as a screen reader reads it."""
        label = self.one(root, "label", label_text)
        if label is None:
            return None
        for relation in label.getRelationSet():
            if relation.getRelationType() == self.pyatspi.RELATION_LABEL_FOR:
                return relation.getTarget(0)
        return None

    def enabled(self, node):
        return node.getState().contains(self.pyatspi.STATE_ENABLED)

    def act(self, node, *names):
        action = node.queryAction()
        for i in range(action.nActions):
            if action.getName(i) in names:
                action.doAction(i)
                return
        fail("%s '%s' offers none of the actions %s" % (node.getRoleName(), node.name, names))

    def wait_for_focus(self, frame, what, timeout=60.0, popup=False):
        """The control that holds the keyboard focus, once the program has the active window.
        A key pressed before then would reach no control, or another program's window. With
        POPUP, a pop-up of the control (a completion list) may be showing: the window then
        does not read as active, and the focused control is enough."""
        def focused():
            windows = [self.app.getChildAtIndex(i) for i in range(self.app.childCount)]
            if not popup and not any(
                    w is not None and w.getState().contains(self.pyatspi.STATE_ACTIVE)
                    for w in windows):
                return None
            for window in [frame] + [w for w in windows if w is not None and w != frame]:
                node = self.focused(window)
                if node is not None:
                    return node
            return None
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                fail("the program ended while waiting for the focus before " + what)
            try:
                node = focused()
            except Exception:
                node = None
            if node is not None:
                return node
            time.sleep(0.2)
        windows = []
        for i in range(self.app.childCount):
            w = self.app.getChildAtIndex(i)
            if w is not None:
                windows.append("%s '%s'%s" % (w.getRoleName(), w.name, " (active)" if
                               w.getState().contains(self.pyatspi.STATE_ACTIVE) else ""))
        fail("no control of the program held the keyboard focus within %d s before %s; its "
             "windows: %s" % (timeout, what, ", ".join(windows) or "none"))

    def press(self, frame, keysym, what, modifier=None, popup=False):
        """Presses KEYSYM (with the MODIFIER key held, a key name such as "Shift_L") once a
        control of FRAME holds the focus (see wait_for_focus for POPUP)."""
        node = self.wait_for_focus(frame, what, popup=popup)
        log("pressing %s with the focus on %s '%s'" % (what, node.getRoleName(), node.name))
        if modifier:
            self.pyatspi.Registry.generateKeyboardEvent(self.keycode(modifier), None,
                                                        self.pyatspi.KEY_PRESS)
        self.pyatspi.Registry.generateKeyboardEvent(keysym, None, self.pyatspi.KEY_SYM)
        time.sleep(0.15)
        if modifier:
            self.pyatspi.Registry.generateKeyboardEvent(self.keycode(modifier), None,
                                                        self.pyatspi.KEY_RELEASE)
        time.sleep(0.2)

    # -- the steps --

    def run(self, sources, out_folder):
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("three rows probed", lambda: self.rows(table) == 3 and
                  all(self.cell(table, r, 3) for r in range(3)))
        log("three files listed: " + ", ".join(self.cell(table, r, 0) for r in range(3)))

        self.choose_folder(frame, out_folder)
        formats = [("MP4 - MPEG4 Video (*.mp4)", ".mp4", lambda: self.menu_convert(frame)),
                   ("AVI - Audio Video Interleave (*.avi)", ".avi",
                    lambda: self.act(self.one(frame, "push button", "Start"), "Press"))]
        for caption, extension, start in formats:
            self.choose_format(frame, caption)
            # The second run ends while another program's window is the active one.
            other = self.other_window() if extension == ".avi" else None
            if other is not None:
                self.wait("another program's window to become the active one",
                          lambda: not frame.getState().contains(self.pyatspi.STATE_ACTIVE))
            start()
            if not frame.getState().contains(self.pyatspi.STATE_ACTIVE):
                self.inactive_runs += 1
            self.wait_for_end(frame)
            if other is not None:
                other.kill()
                other.wait()
            for row in range(3):
                result = self.cell(table, row, 5)
                if result != "Done":
                    fail("row %d reads %r after the %s run" % (row, result, caption))
            log("%s: every row reads Done" % caption)
            for source in sources:
                base = os.path.splitext(os.path.basename(source))[0]
                self.check_output(os.path.join(out_folder, base + extension))

    def other_window(self):
        """A window of another program (xmessage), which the window manager makes the active
        one; None where the tool is missing."""
        if shutil.which("xmessage") is None:
            log("xmessage is not installed: every run ends in the active window")
            return None
        return subprocess.Popen(["xmessage", "-center", "another program"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def picture(self, out_folder, path):
        """Starts a run and saves the main window while the second row is converting."""
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("six rows probed", lambda: self.rows(table) == 6 and
                  all(self.cell(table, r, 3) for r in range(6)))
        self.choose_folder(frame, out_folder)
        self.act(self.one(frame, "push button", "Start"), "Press")
        time_left = [label for label in self.all(frame, "label")
                     if label.description == "Time Left"][0]

        def under_way():
            state = (self.cell(table, 0, 5) or "", self.cell(table, 1, 5) or "", time_left.name)
            log("rows and time left: %s" % (state,))
            return state[0] == "Done" and state[1].endswith("%") and \
                state[1] not in ("0%", "1%") and state[2] != ""
        self.wait("the second row under way", under_way, timeout=120)
        x, y, width, height = frame.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        subprocess.run(["import", "-window", "root", "-crop",
                        "%dx%d+%d+%d" % (width, height, x, y), "+repage", path], check=True)
        log("saved " + path)

    def rows(self, table):
        return table.queryTable().nRows

    def cell(self, table, row, column):
        node = table.queryTable().getAccessibleAt(row, column)
        return node.name if node is not None else None

    def choose_folder(self, frame, folder):
        self.act(self.one(frame, "push button", "Browse for Output Folder"), "Press")
        dialog = self.wait("the folder browser", lambda: self.one(
            self.app, "dialog", "Choose the required output folder below :"))
        entry = self.wait("the folder name field", lambda: self.labelled(dialog, "Directory:"))
        entry.queryEditableText().setTextContents(folder)
        time.sleep(0.3)
        self.act(self.wait("the Choose button",
                           lambda: self.one(dialog, "push button", "Choose")), "Press")
        field = self.one(frame, "text", "Output Folder")
        self.wait("the output folder field to show the folder",
                  lambda: field.queryText().getText(0, -1) == folder)
        log("output folder chosen: " + folder)

    def choose_format(self, frame, caption):
        combo = self.wait("the output format list",
                          lambda: self.labelled(frame, "Set Output Format :"))
        item = self.wait("the entry " + caption,
                         lambda: self.one(combo, "list item", caption, showing=False))
        self.act(item, "Toggle", "Press", "Click")
        self.wait("the list to read " + caption, lambda: combo.name == caption, timeout=10)
        log("format chosen: " + caption)

    def actions(self, node):
        action = node.queryAction()
        return [action.getName(i) for i in range(action.nActions)]

    def menu_convert(self, frame):
        file_menu = self.one(frame, "menu item", "File", showing=False)
        self.act(file_menu, "ShowMenu", "Press", "Click")
        item = self.wait("the Convert entry", lambda: self.one(self.app, "menu item", "Convert"))
        self.act(item, "Press", "Click")

    def wait_for_end(self, frame):
        def message():
            for node in self.all(self.app, "label", "All Conversions Completed", showing=True):
                return node
            return None
        label = self.wait("All Conversions Completed", message, timeout=300)
        box = label.parent
        while box is not None and box.getRoleName() not in ("alert", "dialog"):
            box = box.parent
        ok = self.one(box if box is not None else self.app, "push button", "OK")
        self.act(ok, "Press")
        self.wait("the controls to be unlocked",
                  lambda: self.enabled(self.one(frame, "push button", "Start")))
        log("All Conversions Completed")

    # -- the second and third starts --

    def shot(self, frame, name):
        folder = os.environ.get("QUORVIN_ATSPI_SHOTS")
        if not folder or shutil.which("import") is None:
            return
        time.sleep(0.5)
        x, y, width, height = frame.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        path = os.path.join(folder, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop",
                        "%dx%d+%d+%d" % (width, height, x, y), "+repage", path], check=True)
        log("picture: " + path)

    def focused(self, root):
        for node in self.all(root, showing=True):
            try:
                if node.getState().contains(self.pyatspi.STATE_FOCUSED) and \
                        node.getRoleName() not in ("frame", "filler", "panel"):
                    return node
            except Exception:
                continue
        return None

    def run_by_keyboard(self, pipe, folder, env):
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        # The playlist's pipe blocks the probe of the first file: the window still answers.
        time.sleep(1.0)
        self.answers_while_blocked(frame, "the probe of the first file")
        self.shot(frame, "blocked-probe")
        # A reader waiting on the pipe proves that the probe was held up by it; where the
        # program refuses to open such files nothing waits, and nothing blocked.
        if not PipeReleaser.release(pipe):
            log("nothing waited on the pipe: it was not opened")
        table = self.one(frame, "table", "File List")

        def probed():
            PipeReleaser.release(pipe)
            return self.rows(table) == 4 and \
                all(self.cell(table, r, 5) or self.cell(table, r, 3) for r in range(4))
        self.wait("four rows probed", probed, timeout=60)
        log("rows: " + "; ".join("%s %s" % (os.path.basename(self.cell(table, r, 0)),
                                            self.cell(table, r, 5)) for r in range(4)))
        releaser = PipeReleaser(pipe)
        try:

            # A typed output folder: a click into the field gives it the keyboard.
            field = self.one(frame, "text", "Output Folder")
            self.click(field)
            self.wait("the folder field to take the focus",
                      lambda: field.getState().contains(self.pyatspi.STATE_FOCUSED))
            field.queryEditableText().deleteText(0, field.queryText().characterCount)
            self.pyatspi.Registry.generateKeyboardEvent(0, folder, self.pyatspi.KEY_STRING)
            self.wait("the typed folder", lambda: field.queryText().getText(0, -1) == folder,
                      timeout=10)
            log("output folder typed: " + folder)
            # Escape closes the completion list (it shows once the folders are read).
            time.sleep(1.0)
            self.press(frame, 0xff1b, "Escape", popup=True)

            # The keyboard alone from the list to Start: Shift+Tab goes back through the format
            # list, the folder button and the folder field to Start.
            def list_focused():
                if table.getState().contains(self.pyatspi.STATE_FOCUSED) or \
                        self.focused(table) is not None:
                    return True
                self.click(table.queryTable().getAccessibleAt(0, 1))
                return False
            self.wait("the list to take the focus", list_focused)
            steps = []
            for _ in range(4):
                self.press(frame, 0xff09, "Shift+Tab", "Shift_L")
                node = self.focused(frame)
                steps.append("%s '%s'" % (node.getRoleName(), node.name) if node else "nothing")
            log("Shift+Tab from the list: " + " -> ".join(steps))
            if not steps[-1].endswith("'Start'"):
                fail("Shift+Tab from the list does not reach Start: " + " -> ".join(steps))
            self.shot(frame, "keyboard-at-start")
            self.press(frame, 0x20, "Space (on Start)")
            # The job of the playlist's or the script's row opens the pipe, which blocks: the
            # window answers.
            time.sleep(1.0)
            status = self.answers_while_blocked(frame, "a job set-up")
            self.shot(frame, "blocked-start")
            if PipeReleaser.release(pipe):
                if status not in ("Converting 1 of 4", "Converting 2 of 4"):
                    fail("the status bar reads %r while a job set-up waits" % status)
            else:
                log("nothing waited on the pipe: it was not opened")
            # From now on every opening of the pipe meets a writer that leaves at once.
            releaser.start()
            counts = self.wait_for_counts(frame)
            log("end message: " + counts)
            if counts != "1 done, 3 failed, 0 aborted":
                fail("end message counts read %r" % counts)
        finally:
            releaser.stop()

        # The failed row's reason, as a screen reader reads it.
        rows = {os.path.basename(self.cell(table, r, 0)): r for r in range(4)}
        cell = table.queryTable().getAccessibleAt(rows["notes.avi"], 5)
        if cell.name != "Fail" or not cell.description:
            fail("the failed row reads %r with the description %r" % (cell.name, cell.description))
        log("failed row: %s: %s" % (cell.name, cell.description))
        self.click(table.queryTable().getAccessibleAt(rows["notes.avi"], 1))
        details = self.wait("the details line", lambda: [
            label for label in self.all(frame, "label", showing=True)
            if label.name.startswith("Fail: ")])
        log("details line: " + details[0].name)
        self.shot(frame, "failed-row-details")
        self.press_play_on_unplayable(frame)
        # The closed message box took the keyboard with it: a click gives it back to the window.
        self.click(table.queryTable().getAccessibleAt(rows["notes.avi"], 1))
        if not os.path.isfile(os.path.join(folder, "first clip.mp4")):
            fail("no output in the typed folder")

        # A changed setting, then Ctrl+Q.
        self.choose_format(frame, "MP4 - MPEG4 Video (*.mp4)")
        frame.queryComponent().grabFocus()
        self.press(frame, 0x71, "Ctrl+Q", "Control_L")

    def press_play_on_unplayable(self, frame):
        """Play on the selected row that cannot be played: the press returns at once and the
        error message comes after it."""
        play = self.one(frame, "push button", "Play")
        started = time.time()
        try:
            self.act(play, "Press")
        except Exception as e:  # the reply timed out
            fail("the press of Play on an unplayable row did not return (%.1f s): %s"
                 % (time.time() - started, e))
        elapsed = time.time() - started
        if elapsed > 2.0:
            fail("the press of Play on an unplayable row took %.1f s" % elapsed)
        label = self.wait("the preview's error message", lambda: [
            node for node in self.all(self.app, "label", showing=True)
            if node.name.startswith("No Video Codec To Play This File!")])[0]
        text = label.name
        box = label.parent
        while box is not None and box.getRoleName() not in ("alert", "dialog"):
            box = box.parent
        self.act(self.one(box if box is not None else self.app, "push button", "OK"), "Press")
        self.wait("the error message to close", lambda: not [
            node for node in self.all(self.app, "label", showing=True)
            if node.name.startswith("No Video Codec To Play This File!")])
        log("the press of Play on an unplayable row returned in %.2f s; then the message: %r"
            % (elapsed, text))

    def click(self, node):
        x, y, width, height = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        self.pyatspi.Registry.generateMouseEvent(x + width // 2, y + height // 2, "b1c")
        time.sleep(0.3)

    def answers_while_blocked(self, frame, what):
        """Reads the status bar through the accessibility bus; the reply must come at once."""
        started = time.time()
        status = [label.name for label in self.all(frame, "label")
                  if label.description == "Status"]
        elapsed = time.time() - started
        if not status or elapsed > 2.0:
            fail("the window did not answer during %s (%.1f s)" % (what, elapsed))
        table = self.one(frame, "table", "File List")
        log("the window answered in %.2f s during %s; status %r, rows %s" % (
            elapsed, what, status[0],
            [self.cell(table, r, 5) for r in range(self.rows(table))]))
        return status[0]

    def keycode(self, name):
        out = subprocess.run(["xmodmap", "-pke"], capture_output=True, text=True).stdout \
            if shutil.which("xmodmap") else ""
        for line in out.splitlines():
            parts = line.split()
            if len(parts) > 3 and parts[3] == name:
                return int(parts[1])
        return {"Shift_L": 50, "Control_L": 37}[name]

    def wait_for_counts(self, frame):
        label = self.wait("All Conversions Completed", lambda: self.one(
            self.app, "label", "All Conversions Completed"), timeout=300)
        box = label.parent
        while box is not None and box.getRoleName() not in ("alert", "dialog"):
            box = box.parent
        counts = [node.name for node in self.all(box, "label", showing=True)
                  if " done, " in node.name]
        if box is not None and self.one(box, "push button", "Open Output Folder") is None:
            fail("the end message offers no Open Output Folder button")
        self.shot(frame, "end-message-counts")
        self.act(self.one(box, "push button", "OK"), "Press")
        self.wait("the controls to be unlocked",
                  lambda: self.enabled(self.one(frame, "push button", "Start")))
        return counts[0] if counts else ""

    def terminate_during_run(self, folder):
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("the row probed", lambda: self.rows(table) == 1 and self.cell(table, 0, 3))
        field = self.one(frame, "text", "Output Folder")
        field.queryEditableText().setTextContents(folder)
        self.act(self.one(frame, "push button", "Start"), "Press")
        status = [label for label in self.all(frame, "label") if label.description == "Status"][0]
        self.wait("the run under way", lambda: (self.cell(table, 0, 5) or "").endswith("%") and
                  self.cell(table, 0, 5) != "0%", timeout=120)
        log("status bar while converting: %r" % status.name)
        if status.name != "Converting 1 of 1":
            fail("the status bar reads %r during the run" % status.name)
        self.shot(frame, "converting")
        self.proc.send_signal(15)
        code = self.proc.wait(timeout=60)
        left = os.listdir(folder)
        # As after Stop: the part converted so far is a finished file, nothing temporary stays.
        if code != 143 or left != ["long.mp4"]:
            fail("SIGTERM during a run: status %d, output folder holds %s" % (code, left))
        self.check_output(os.path.join(folder, "long.mp4"))
        log("SIGTERM during a run: status 143, the output finished as Stop finishes it")

    def kill_during_run(self, folder):
        """Converts two rows and kills the program (SIGKILL) while the second converts."""
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("both rows probed", lambda: self.rows(table) == 2 and self.cell(table, 1, 3))
        self.one(frame, "text", "Output Folder").queryEditableText().setTextContents(folder)
        self.act(self.one(frame, "push button", "Start"), "Press")
        self.wait("the second row under way",
                  lambda: self.cell(table, 0, 5) == "Done" and
                  (self.cell(table, 1, 5) or "").endswith("%") and self.cell(table, 1, 5) != "0%",
                  timeout=120)
        time.sleep(0.4)  # the kept list follows progress within a fraction of a second
        self.proc.kill()
        self.proc.wait(timeout=60)
        parts = [name for name in os.listdir(folder) if name.endswith(".quorvin-part")]
        if len(parts) != 1:
            fail("killed during a run: the output folder holds %s" % os.listdir(folder))
        log("killed during a run: the unfinished output %s is left" % parts[0])

    def list_kept_after_kill(self, folder):
        """The next start shows the kept list: the finished row Done, the interrupted one ready
        to convert again, and no unfinished output left."""
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("the kept rows", lambda: self.rows(table) == 2)
        results = [self.cell(table, 0, 5), self.cell(table, 1, 5)]
        left = sorted(os.listdir(folder))
        if results != ["Done", ""] or any(name.endswith(".quorvin-part") for name in left):
            fail("after the kill the list reads %s and the output folder holds %s"
                 % (results, left))
        log("after the kill: rows %s, output folder %s" % (results, left))
        self.proc.send_signal(15)
        self.proc.wait(timeout=60)

    # -- the sixth start: several files at once and Stop After Current --

    def several_at_once(self, out_folder, count):
        """Sets "Conversions at once" to 2 in the Options dialog, converts COUNT rows and
        sees two of them converting together; then a second run is ended by Stop After
        Current while two rows convert."""
        self.app = self.wait("the program on the accessibility bus", self.application)
        frame = self.wait("the main window", lambda: self.one(self.app, "frame",
                                                               "Quorvin iPod Video Converter"))
        table = self.wait("the file list", lambda: self.one(frame, "table", "File List"))
        self.wait("%d rows probed" % count, lambda: self.rows(table) == count and
                  all(self.cell(table, r, 3) for r in range(count)), timeout=60)
        self.set_conversions_at_once(frame, 2)
        field = self.one(frame, "text", "Output Folder")
        field.queryEditableText().setTextContents(out_folder)
        status = [label for label in self.all(frame, "label") if label.description == "Status"][0]

        def converting():
            return [r for r in range(count) if (self.cell(table, r, 5) or "").endswith("%")]

        def status_names_the_rows():
            # The rows and the status bar are read one after the other while the run moves
            # on, so both are read until they agree.
            rows = converting()
            if len(rows) != 2:
                return None
            text = status.name
            expected = "Converting %d-%d of %d" % (rows[0] + 1, rows[1] + 1, count)
            return (rows, text) if text.startswith(expected) else None

        self.act(self.one(frame, "push button", "Start"), "Press")
        rows, text = self.wait("two rows converting together, named by the status bar",
                               status_names_the_rows, timeout=120)
        log("two rows converting together: %s; status bar %r" % (rows, text))
        self.shot(frame, "two-at-once")
        self.wait_for_end(frame)
        for row in range(count):
            if self.cell(table, row, 5) != "Done":
                fail("row %d reads %r after the run at 2 at once" % (row, self.cell(table, row, 5)))
        log("2 at once: every row reads Done")

        # Stop After Current: the two running rows finish, the rest are not started.
        self.act(self.one(frame, "push button", "Start"), "Press")
        self.wait("two rows converting", lambda: len(converting()) == 2, timeout=120)
        running = converting()
        file_menu = self.one(frame, "menu item", "File", showing=False)
        self.act(file_menu, "ShowMenu", "Press", "Click")
        item = self.wait("the Stop After Current entry",
                         lambda: self.one(self.app, "menu item", "Stop After Current"))
        self.act(item, "Press", "Click")
        counts = self.wait_for_counts(frame)
        log("Stop After Current with rows %s running: %r" % (running, counts))
        # The rows seen running may have finished, and the next ones started, before the
        # menu entry was pressed; whichever rows were running then finish. So the Done rows
        # are the first ones, those seen running among them, and the rest are not started.
        results = [self.cell(table, r, 5) for r in range(count)]
        done = results.count("Done")
        if (results != ["Done"] * done + [""] * (count - done) or done == count
                or any(r >= done for r in running)):
            fail("after Stop After Current with rows %s running the rows read %s"
                 % (running, results))
        if counts != "%d done, 0 failed, 0 aborted, %d not started" % (done, count - done):
            fail("the end message after Stop After Current counts %r for rows %s"
                 % (counts, results))
        self.proc.send_signal(15)
        self.proc.wait(timeout=60)

    def set_conversions_at_once(self, frame, value):
        options = self.one(frame, "menu item", "Options", showing=False)
        self.act(options, "ShowMenu", "Press", "Click")
        item = self.wait("the Set Options entry",
                         lambda: self.one(self.app, "menu item", "Set Options"))
        self.act(item, "Press", "Click")
        spin = self.wait("the Conversions at once box",
                         lambda: self.one(self.app, "spin button", "Conversions at once"))
        spin.queryValue().currentValue = float(value)
        self.wait("Conversions at once to read %d" % value,
                  lambda: int(spin.queryValue().currentValue) == value)
        dialog = spin.parent
        while dialog is not None and dialog.getRoleName() != "dialog":
            dialog = dialog.parent
        close = [b for b in self.all(dialog, "push button", showing=True)
                 if b.name in ("Done", "OK", "Close")]
        if not close:
            fail("the Options dialog offers no button that closes it")
        self.act(close[0], "Press")
        log("Conversions at once set to %d in the Options dialog" % value)

    def check_output(self, path):
        check_output(path)


def check_output(path):
    """The file at PATH decodes completely, without an error, by the ffmpeg tool."""
    if not os.path.isfile(path):
        fail("missing output " + path)
    decode = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                            capture_output=True, text=True)
    if decode.returncode != 0 or decode.stderr.strip():
        fail("%s does not decode cleanly: %s" % (path, decode.stderr.strip()[:500]))
    log("decoded completely: " + os.path.basename(path))


class PipeReleaser:
    """Opens the named pipe for writing and closes it again, over and over: whoever waits to
    read it gets an end of file instead of waiting for ever."""

    def __init__(self, path):
        import threading
        self.path = path
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.loop, daemon=True)

    def start(self):
        self.thread.start()

    @staticmethod
    def release(path):
        """True when a reader was waiting (it now reads an end of file)."""
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
            return True
        except OSError:
            return False

    def loop(self):
        while not self.done.is_set():
            PipeReleaser.release(self.path)
            time.sleep(0.05)

    def stop(self):
        self.done.set()
        if self.thread.is_alive():
            self.thread.join()


if __name__ == "__main__":
    args = sys.argv[1:]
    nested = args[:1] == ["--inner"]
    if nested:
        args = args[1:]
    picture = None
    if args[:1] == ["--screenshot"] and len(args) >= 2:
        picture = os.path.abspath(args[1])
        args = args[2:]
    if len(args) != 1:
        print(__doc__)
        sys.exit(2)
    program = os.path.abspath(args[0])
    sys.exit(inner(program, picture) if nested else outer(program, picture))
