#!/usr/bin/env python3
"""A real browser shares a protected desktop, end to end.

On a private Xvfb display with openbox: three solid windows (one of them the
protected application "local.velmarch.app", with a popup), the setup program started from
its bundle installs the helper into a temporary home, and Debian's Chromium,
with that home and its default profile, loads the reference extension and
opens its viewer in self-test mode. Chromium starts the installed helper by
itself; the viewer reports on the console what it received and decoded.

  browser_share.py --setup-bundle B --fixture F --extension DIR   # the test
  browser_share.py ... --demo OUT                                  # keeps pictures and video in OUT
"""
import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = "/usr/lib/chromium/chromium"
EXTENSION_ID = "clkifonbpdmnopmifbcgjaifkhiclkpk"
SCREEN = (1600, 900)
DESKTOP_WIDTH = 900  # windows live left of this; the browser sits right of it
PROTECTED = "ff00ff"
# class, colour, width, height, x, y; later windows open on top.
WINDOWS = [
    ("other.behind", "ffa000", 560, 420, 40, 80),
    ("local.velmarch.app", PROTECTED, 360, 240, 300, 300),
    ("other.beside", "20c040", 200, 300, 660, 120),
]
# The protected application also shows a menu-like popup (override-redirect) over the window behind.
PROTECTED_POPUP = ["popup", PROTECTED, "160x120+100+420"]
WANTED_FRAMES = 24


def progress(text):
    print(f"[{time.monotonic() - STARTED:5.1f}s] {text}", flush=True)


STARTED = time.monotonic()


def wait_for(what, done, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = done()
        if result:
            return result
        time.sleep(0.1)
    raise TimeoutError(f"timed out after {seconds} s waiting for {what}")


class Session:
    """Owns every process it starts and ends them, newest first."""

    def __init__(self, env):
        self.env = env
        self.processes = []

    def start(self, args, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        process = subprocess.Popen(args, env=self.env, start_new_session=True, **kwargs)
        self.processes.append(process)
        return process

    def run(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=30).stdout.strip()

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is not None:
                continue
            try:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            except ProcessLookupError:
                process.wait()


def start_display(session, use_wm):
    xvfb = session.start(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                         stdout=subprocess.PIPE, text=True)
    session.env["DISPLAY"] = ":" + xvfb.stdout.readline().strip()
    if use_wm:
        session.start(["openbox", "--sm-disable"])
        wait_for("openbox", lambda: "window id" in session.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), 10)


def open_window(session, fixture, window):
    wm_class, colour, width, height, x, y = window
    popup = PROTECTED_POPUP if colour == PROTECTED else []
    process = session.start([fixture, wm_class, colour, f"{width}x{height}+{x}+{y}", *popup],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    wid = process.stdout.readline().strip()
    # A window manager places new windows itself; put each where the checks expect it.
    session.run("xdotool", "windowmove", "--sync", wid, str(x), str(y))


def install_with_setup(session, bundle, home):
    manifest = os.path.join(session.env["XDG_CONFIG_HOME"], "chromium/NativeMessagingHosts/net.tavrino.share_companion.json")
    setup = session.start([os.path.join(bundle, "Contents/MacOS/TavrinoSharingSetup")])
    wait_for("the host manifest", lambda: os.path.exists(manifest), 60)
    window = wait_for("the setup window", lambda: session.run("xdotool", "search", "--name", "^Tavrino Sharing Setup$"), 30)
    window = window.splitlines()[0]

    # "OK" on the success screen ends the program; Return presses it.
    def finished():
        session.run("xdotool", "windowfocus", "--sync", window)
        session.run("xdotool", "key", "--clearmodifiers", "Return")
        try:
            return setup.wait(1) is not None
        except subprocess.TimeoutExpired:
            return False

    wait_for("the setup program to finish", finished, 30)
    if setup.returncode != 0:
        raise RuntimeError(f"the setup program ended with status {setup.returncode}")
    with open(manifest) as f:
        path = json.load(f)["path"]
    if not path.startswith(home):
        raise RuntimeError(f"the manifest names {path}, outside the home folder")
    return path


class Browser:
    """Chromium on the display; collects the viewer's self-test lines from its log."""

    def __init__(self, session, extension, log_path):
        flags = ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--password-store=basic",
                 "--disable-dev-shm-usage"]  # containers often have a small /dev/shm
        self.session = session
        self.flags = flags
        self.lines = queue.Queue()
        self.log = open(log_path, "w")
        self.process = session.start(
            [CHROMIUM, *flags, "--enable-logging=stderr", "--v=0", f"--load-extension={extension}",
             f"--window-position={DESKTOP_WIDTH},0", f"--window-size={SCREEN[0] - DESKTOP_WIDTH},{SCREEN[1]}"],
            stderr=subprocess.PIPE, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()
        profile = os.path.join(session.env["XDG_CONFIG_HOME"], "chromium")
        wait_for("Chromium", lambda: os.path.lexists(os.path.join(profile, "SingletonSocket")), 30)
        # Its first window shows once the profile, and with it the extension, has loaded.
        wait_for("Chromium's window", lambda: session.run("xdotool", "search", "--onlyvisible", "--class", "chromium"), 30)

    def _read(self):
        for line in self.process.stderr:
            self.log.write(line)
            self.log.flush()
            found = re.search(r'"TAVRINO-SELFTEST (\w+) (.*)", source: ', line)
            if found:
                self.lines.put((found.group(1), json.loads(found.group(2))))

    def open(self, url):
        # As a user would: the running browser takes the address and opens a tab.
        subprocess.run([CHROMIUM, *self.flags, url], env=self.session.env, capture_output=True, timeout=30)

    def next(self, seconds):
        try:
            return self.lines.get(timeout=seconds)
        except queue.Empty:
            raise TimeoutError(f"the viewer reported nothing for {seconds} s") from None


def helper_processes(executable):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if args and args[0].decode(errors="replace") == executable:
            found.append((int(pid), [a.decode(errors="replace") for a in args[1:] if a]))
    return found


class Checks:
    def __init__(self):
        self.failed = []

    def expect(self, ok, text):
        progress(("ok      " if ok else "FAILED  ") + text)
        if not ok:
            self.failed.append(text)


def share(browser, session, options, checks):
    """A user's way through the viewer: it opens before the helper is installed
    and before the protected application runs, and "Try Again" gets past both."""
    home, demo = session.env["HOME"], options.demo
    query = (f"selftest&frames={WANTED_FRAMES * (3 if demo else 1)}&protected={PROTECTED}"
             f"&visible={','.join(w[1] for w in WINDOWS if w[1] != PROTECTED)}"
             f"&region=0,0,{DESKTOP_WIDTH},{SCREEN[1]}" + ("&record" if demo else ""))
    browser.open(f"chrome-extension://{EXTENSION_ID}/viewer.html?{query}")
    helper, protected_open, seen = None, False, {}
    deadline = time.monotonic() + 150
    while "pixels" not in seen:
        if time.monotonic() > deadline:
            raise TimeoutError(f"the share did not finish; the viewer reported {sorted(seen)}")
        kind, message = browser.next(60)
        seen.setdefault(kind, message)
        # Tries made while the setup program runs may still fail as before.
        if kind == "shown" and "not installed" in message["text"] and helper is None:
            checks.expect(message["retry"], f'before the install the viewer shows "{message["text"]}" with Try Again')
            progress("installing the helper with the setup program")
            helper = install_with_setup(session, options.setup_bundle, home)
            progress(f"installed {helper}")
        elif kind == "shown" and "Open Tavrino" in message["text"] and not protected_open:
            checks.expect(message["retry"] and helper is not None,
                          f'without the protected application the viewer shows "{message["text"]}" with Try Again')
            progress("opening the protected application's window")
            open_window(session, options.fixture, next(w for w in WINDOWS if w[1] == PROTECTED))
            protected_open = True
        elif kind in ("error", "disconnected") and "hello" in seen and message.get("code") != "tavrinoUnavailable":
            raise RuntimeError(f"the viewer received {kind}: {message}")
        elif kind == "started":
            serving = [pid for pid, args in helper_processes(helper) if args[:1] == [f"chrome-extension://{EXTENSION_ID}/"]]
            checks.expect(serving, "Chromium started the installed helper for the extension")
            # Qt is for the permission alert only; mapped, it costs the capture about 10 MiB.
            checks.expect(serving and all("libQt6" not in open(f"/proc/{pid}/maps").read() for pid in serving),
                          "the capturing helper has not loaded Qt")
        elif kind == "decoded":
            progress(f"decoded {message['decoded']} frames of {message['width']} x {message['height']}")
            if demo and message["decoded"] == WANTED_FRAMES:
                picture(session, demo)
    return helper, seen


def picture(session, folder):
    """The screen while it is shared, and the desktop beside the viewer page."""
    screen, viewer = os.path.join(folder, "screen.png"), os.path.join(folder, "viewer.png")
    session.run("import", "-window", "root", screen)
    right = SCREEN[0] - DESKTOP_WIDTH
    session.run("convert", screen, "-crop", f"{right}x{SCREEN[1]}+{DESKTOP_WIDTH}+0", "+repage", viewer)
    session.run("convert", "(", screen, "-crop", f"{DESKTOP_WIDTH}x{SCREEN[1]}+0+0", "+repage", ")",
                "(", viewer, "-background", "white", "-splice", "24x0", ")", "+append",
                os.path.join(folder, "protected-sharing.png"))


def check(seen, checks):
    checks.expect("hello" in seen and seen["hello"].get("version") == 1, '"hello" with version 1')
    displays = seen.get("sources", {}).get("displays", [])
    checks.expect(any((d["width"], d["height"]) == SCREEN for d in displays), f'"sources" lists the {SCREEN[0]} x {SCREEN[1]} display')
    started = seen.get("started", {})
    checks.expect((started.get("width"), started.get("height"), started.get("excludedApplications")) == (*SCREEN, 1),
                  f'"started" {started.get("width")} x {started.get("height")} with '
                  f'{started.get("excludedApplications")} protected application kept out')
    checks.expect(seen.get("configuration", {}).get("codec", "").startswith("avc1.42"), "a Baseline H.264 configuration")
    pixels, stats = seen["pixels"], seen.get("stats", {})
    decoded = pixels["decoded"]
    checks.expect(decoded >= WANTED_FRAMES, f"{decoded} frames decoded by WebCodecs")
    checks.expect(pixels["protectedPixels"] == 0, f"{pixels['protectedPixels']} decoded pixels in the protected colour")
    for _, colour, width, height, _, _ in WINDOWS:
        if colour != PROTECTED:
            shown = pixels["visible"][colour]
            checks.expect(shown >= 0.97 * width * height, f"window {colour}: {shown} of {width * height} pixels shown")
    # Frames still being decoded when the share stopped were never acknowledged: at most 2.
    sent, received, drops = stats.get("sent", -1), stats.get("received", -1), stats.get("backpressureDrops", -1)
    checks.expect(0 <= sent - decoded <= 2 and sent <= received - drops,
                  f'"stats" {{received {received}, sent {sent}, backpressureDrops {drops}}} against {decoded} decoded')
    checks.expect("stopped" in seen, '"stopped" after the page stopped the share')


def summary(seen, folder):
    stats, pixels = seen["stats"], seen["pixels"]
    print(f"""
The helper captured {stats['received']} frames, sent {stats['sent']} and skipped {stats['backpressureDrops']} \
while the browser was busy;
the viewer decoded {pixels['decoded']} with WebCodecs, and {pixels['protectedPixels']} of their pixels \
showed the protected (magenta) window.

  {folder}/protected-sharing.png  the desktop (left, the protected window on top) beside the viewer page
  {folder}/screen.png             the whole virtual screen at the same moment
  {folder}/received.webm          the pictures the viewer decoded, recorded by the page
  {folder}/chromium.log           Chromium's log, with every message the viewer received""")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup-bundle", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--extension", required=True)
    parser.add_argument("--demo", help="folder for the pictures and the video")
    parser.add_argument("--no-wm", action="store_true", help="no window manager")
    options = parser.parse_args()
    for tool in (CHROMIUM, "Xvfb", "openbox", "xdotool", "xprop", "import"):
        if not shutil.which(tool):
            print(f"{tool} is not installed; skipping")
            return 77

    with tempfile.TemporaryDirectory(prefix="tavrino-browser-") as home:
        env = {key: value for key, value in os.environ.items()
               if key not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR")}
        env.update(HOME=home, XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                   XDG_CACHE_HOME=f"{home}/.cache", QT_QPA_PLATFORM="xcb")
        session = Session(env)
        checks = Checks()
        if options.demo:
            os.makedirs(options.demo, exist_ok=True)
        log = os.path.join(options.demo or home, "chromium.log")
        try:
            progress("starting a virtual display" + ("" if options.no_wm else " with openbox"))
            start_display(session, not options.no_wm)
            for window in WINDOWS:
                if window[1] != PROTECTED:
                    open_window(session, options.fixture, window)
            progress("starting Chromium with the reference extension")
            browser = Browser(session, os.path.abspath(options.extension), log)
            helper, seen = share(browser, session, options, checks)
            check(seen, checks)
            gone = True
            try:
                wait_for("the helper to end", lambda: not helper_processes(helper), 15)
            except TimeoutError:
                gone = False
            checks.expect(gone, "the helper ended when the page closed its port")
            if options.demo:
                downloaded = os.path.join(home, "Downloads/received.webm")
                wait_for("the recording", lambda: os.path.exists(downloaded), 20)
                shutil.copy(downloaded, os.path.join(options.demo, "received.webm"))
                summary(seen, options.demo)
        except Exception as error:  # noqa: BLE001 - reported as a failed check with the browser's log
            checks.expect(False, f"{type(error).__name__}: {error}")
        finally:
            for pid, _ in helper_processes(f"{home}/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost"):
                os.kill(pid, signal.SIGKILL)
            session.close()
        if checks.failed and not options.demo:
            with open(log, errors="replace") as f:
                tail = [line for line in f if "dbus" not in line][-40:]
            print("Chromium's log (last lines):\n" + "".join(tail))
        progress(f"{len(checks.failed)} check(s) failed" if checks.failed else "all checks passed")
        return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
