"""The window's accessible tree as a screen reader sees it (run by
scripts/check-accessibility inside a private session bus).

Starts the AT-SPI bus, Xvfb (with openbox when present), a web server on a
free port of 127.0.0.1 and the program with a three-product catalogue whose
links are a whole file, a missing one (404) and one the server holds open
after a few bytes. From the keyboard it starts the three downloads and goes
back to the product page, then checks over AT-SPI: every control that shows
has a name; the window is a frame and the link list is labelled by the
product's name; the list "Downloads" holds a list item per file, named by the
file and described by its status, each with a progress bar whose value lies
in 0..100 and with its links as push buttons that can be pressed; a status
change reached the screen reader as a description change.
"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pyatspi
from gi.repository import GLib

build = sys.argv[1]
failures = []
processes = []


def fail(text):
    failures.append(text)
    print("check-accessibility: " + text, file=sys.stderr)


def start(args, **kwargs):
    process = subprocess.Popen(args, **kwargs)
    processes.append(process)
    return process


def wait(done, seconds=15.0):
    """Runs the event loop until done() or the time is up; returns done()."""
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        if done():
            return True
        time.sleep(0.05)
    return done()


class Files(http.server.BaseHTTPRequestHandler):
    held = threading.Event()  # set when the check ends: the held transfer closes

    def do_GET(self):
        if self.path == "/alpha.bin":
            body = b"alpha" * 1000
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif self.path == "/gamma.bin":
            self.send_response(200)
            self.send_header("Content-Length", "100000000")
            self.end_headers()
            self.wfile.write(b"g" * 100000)
            self.wfile.flush()
            Files.held.wait(60)
        else:
            self.send_error(404, "Not Found")

    def log_message(self, *args):
        pass


def catalogue(port):
    def product(name, file, screenshot):
        return ("<Program_Group><URLCount>1</URLCount><Program_Name>%s</Program_Name>"
                "<Short_Description>%s for the check.</Short_Description><Icon></Icon>"
                "<Screenshot>%s</Screenshot><Download><Description>%s (HTTP)</Description>"
                "<URL>http://127.0.0.1:%d/%s</URL><Handle_by></Handle_by></Download></Program_Group>"
                % (name, name, screenshot, name, port, file))
    return ('<?xml version="1.0" encoding="windows-1252"?>\n<Root><Interface_Information>'
            "<GroupCount>3</GroupCount><Window_Caption>Accessibility check</Window_Caption>"
            "<Top_Paragraph>Three files.</Top_Paragraph><Next_Button_Caption>Next &gt;&gt;</Next_Button_Caption>"
            "<Previous_Button_Caption>&lt;&lt; Back</Previous_Button_Caption>"
            "<Product_Prompt>Product to download:</Product_Prompt>"
            "<Folder_to_save_to_Prompt>Folder to save to:</Folder_to_save_to_Prompt>"
            "<Download_Button_Caption>Download</Download_Button_Caption>"
            "<Cancel_Button_Caption>Cancel</Cancel_Button_Caption>"
            "<Open_Button_Caption>Open</Open_Button_Caption><Splash_Logo></Splash_Logo>"
            "</Interface_Information>"
            + product("Alpha", "alpha.bin", "") + product("Beta", "beta.bin", "")
            + product("Gamma", "gamma.bin", "not a picture") + "</Root>")


def descendants(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        yield from descendants(child)


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def check_tree(app, described):
    frames = [f for f in (app.getChildAtIndex(i) for i in range(app.childCount)) if f is not None]
    nodes = [n for f in frames for n in descendants(f)]
    controls = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_ITEM,
                pyatspi.ROLE_PROGRESS_BAR, pyatspi.ROLE_TABLE)
    for node in nodes:
        editable = node.getRole() == pyatspi.ROLE_TEXT and node.getState().contains(pyatspi.STATE_EDITABLE)
        if showing(node) and (node.getRole() in controls or editable) and not node.name:
            fail("a %s has no name" % node.getRoleName())
    if frames and frames[0].getRole() != pyatspi.ROLE_FRAME:
        fail("the window is a %s, not a frame" % frames[0].getRoleName())
    # The link list is labelled by the product's name (the last one shown).
    for combo in (n for n in nodes if n.getRole() == pyatspi.ROLE_COMBO_BOX):
        labels = [r.getTarget(i).name for r in combo.getRelationSet()
                  if r.getRelationType() == pyatspi.RELATION_LABELLED_BY for i in range(r.getNTargets())]
        if labels != ["Gamma"]:
            fail("the link list is labelled by %s, not by the product" % labels)
    buttons = [n.name for n in nodes if n.getRole() == pyatspi.ROLE_PUSH_BUTTON and showing(n)]
    if "Show screenshot" not in buttons:
        fail('no push button "Show screenshot" among %s' % buttons)

    lists = [n for n in nodes if n.getRole() == pyatspi.ROLE_LIST and n.name == "Downloads"]
    if len(lists) != 1:
        fail("%d lists named Downloads" % len(lists))
        return
    items = {}
    for i in range(lists[0].childCount):
        item = lists[0].getChildAtIndex(i)
        if item.getRole() == pyatspi.ROLE_LIST_ITEM:
            items[item.name] = item
    expected = {"alpha.bin": ("Download Complete.", ["Open", "Show in folder"]),
                "beta.bin": ("Download failed: 404 Not Found", ["Download"]),
                "gamma.bin": (None, ["Cancel", "Pause"])}
    if sorted(items) != sorted(expected):
        fail("the list items are %s" % sorted(items))
    for name, (description, links) in expected.items():
        item = items.get(name)
        if item is None:
            continue
        if not item.description or (description and item.description != description):
            fail("%s is described as %r" % (name, item.description))
        parts = list(descendants(item))
        bars = [p for p in parts if p.getRole() == pyatspi.ROLE_PROGRESS_BAR]
        if len(bars) != 1:
            fail("%s has %d progress bars" % (name, len(bars)))
        for bar in bars:
            value = bar.queryValue()
            if not (0 <= value.minimumValue <= value.currentValue <= value.maximumValue <= 100):
                fail("%s: progress %s of %s..%s" % (name, value.currentValue, value.minimumValue,
                                                    value.maximumValue))
        shown = sorted(p.name for p in parts if p.getRole() == pyatspi.ROLE_PUSH_BUTTON and showing(p))
        if shown != links:
            fail("%s has the push buttons %s" % (name, shown))
        for p in parts:
            if p.getRole() == pyatspi.ROLE_PUSH_BUTTON and showing(p):
                action = p.queryAction()
                if "press" not in [action.getName(i).lower() for i in range(action.nActions)]:
                    fail("%s: %s cannot be pressed" % (name, p.name))
    for name, item in sorted(items.items()):
        print("check-accessibility: list item %r: %r" % (name, item.description))
    if not any(name in described for name in expected):
        fail("no list item told a change of its description (heard: %s)" % sorted(described))


def main():
    work = tempfile.mkdtemp(prefix="quillon-a11y-")
    try:
        run(work)
    finally:
        Files.held.set()
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit(1)
    print("check-accessibility: the window's tree is as a screen reader needs it")


def run(work):
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    read_fd, write_fd = os.pipe()
    start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
          pass_fds=(write_fd,), stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as display:
        number = display.readline().strip()
    if not number:
        fail("Xvfb did not start")
        return
    os.environ["DISPLAY"] = ":" + number
    if shutil.which("openbox"):
        start(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Files)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(work, "catalogue.xml"), "w") as f:
        f.write(catalogue(server.server_address[1]))
    program = os.path.join(work, "quillon-check")
    subprocess.run([os.path.join(build, "tools", "quillon-catalogue"), "append",
                    os.path.join(build, "app", "quillon"), os.path.join(work, "catalogue.xml"), "-o", program],
                   check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    home = os.path.join(work, "home")
    os.makedirs(os.path.join(home, "Desktop"))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), QT_QPA_PLATFORM="xcb",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1", ASAN_OPTIONS="detect_leaks=0")
    env.pop("QT_QPA_PLATFORMTHEME", None)

    described = set()

    def heard(event):
        if event.source is not None and event.source.getRole() == pyatspi.ROLE_LIST_ITEM:
            described.add(event.source.name)
    pyatspi.Registry.registerEventListener(heard, "object:property-change:accessible-description")

    start([program], env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "program.log"), "w"))
    desktop = pyatspi.Registry.getDesktop(0)

    def application():
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is None:
                continue
            for k in range(app.childCount):
                frame = app.getChildAtIndex(k)
                if frame is not None and frame.name == "Accessibility check":
                    return app
        return None
    if not wait(lambda: application() is not None):
        fail("the program did not appear on the AT-SPI bus")
        return
    app = application()
    # Keys go to the active window. A window mapped before openbox took over
    # the screen is not activated by it: it is then activated by hand.
    def active():
        return app.getChildAtIndex(0).getState().contains(pyatspi.STATE_ACTIVE)
    if not wait(active, 5.0):
        subprocess.run(["xdotool", "search", "--name", "^Accessibility check$", "windowactivate"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait(active):
        fail("the window did not become active")
        return

    def keys(*names):
        for name in names:
            subprocess.run(["xdotool", "key", "--delay", "50", name], check=True)
            wait(lambda: False, 0.2)  # the window handles the key

    # Next, Download; Back, the next product, and again; then back to the
    # product page with the list beside it.
    keys("Return", "Return", "Escape", "Down", "Return", "Return", "Escape", "Down", "Return", "Return", "Escape")

    def settled():
        for node in descendants(app.getChildAtIndex(0)):
            if node.getRole() == pyatspi.ROLE_LIST_ITEM and node.name == "gamma.bin":
                return True
        return False
    if not wait(settled):
        fail("the three downloads did not start")
    # The finished and the failed row have said so.
    wait(lambda: {"alpha.bin", "beta.bin"} <= described, 10)
    check_tree(app, described)


main()
