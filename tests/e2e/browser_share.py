#!/usr/bin/env python3
"""A real browser shares a protected desktop, end to end: on Xvfb with openbox, beside
solid windows and the protected application, the setup program, started from the unpacked
download, installs the helper into a temporary home, and Chromium with its default profile
there starts it by itself for the reference extension's viewer (self-test
mode), which reports what it decoded. The desktop's programs run as an ordinary user, as
on a real desktop: run with administrator rights, the test starts them as the throwaway user
that scripts/install-deps.sh makes; the X server and the test's own probes stay as they are.
With --demo OUT, pictures and the received video are kept in OUT."""
import argparse
import json
import os
import pwd
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
WANTED_FRAMES = 24
ORDINARY_USER = "tavrino-tester"
STARTED = time.monotonic()
failed = []


def progress(text):
    print(f"[{time.monotonic() - STARTED:5.1f}s] {text}", flush=True)


def expect(ok, text):
    progress(("ok      " if ok else "FAILED  ") + text)
    if not ok:
        failed.append(text)


def wait_for(what, done, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = done()
        if result:
            return result
        time.sleep(0.1)
    raise TimeoutError(f"timed out after {seconds} s waiting for {what}")


def ordinary_user():
    """The user the desktop runs as: None for ourselves, else the throwaway user's entry."""
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam(ORDINARY_USER)
    except KeyError:
        raise RuntimeError(f"there is no user {ORDINARY_USER}; scripts/install-deps.sh makes it") from None


class Session:
    """Owns every process it starts and ends them, newest first. Programs of the
    desktop (as_user) run as the ordinary user, through setpriv, which keeps the
    environment and becomes the program."""

    def __init__(self, env, user):
        self.env, self.processes = env, []
        self.as_user = [] if user is None else [
            "setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", "--"]
        self.flags = self.browser_flags()

    def start(self, args, as_user=True, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        args = [*self.as_user, *args] if as_user else args
        self.processes.append(subprocess.Popen(args, env=self.env, start_new_session=True, **kwargs))
        return self.processes[-1]

    def run(self, *args, as_user=False):
        args = [*self.as_user, *args] if as_user else args
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=30).stdout.strip()

    def browser_flags(self):
        """Chromium's sandbox needs user namespaces, which some containers forbid."""
        probe = subprocess.run([*self.as_user, "unshare", "--user", "--pid", "--net", "--fork", "true"],
                               capture_output=True, timeout=30)
        return FLAGS if probe.returncode == 0 else ["--no-sandbox", *FLAGS]

    def close(self):
        for process in reversed(self.processes):
            for sig in (signal.SIGTERM, signal.SIGKILL):
                if process.poll() is None:
                    try:
                        os.killpg(process.pid, sig)
                        process.wait(10)
                    except (subprocess.TimeoutExpired, ProcessLookupError):
                        pass


def open_window(session, fixture, window):
    wm_class, colour, width, height, x, y = window
    # The protected application also shows a menu-like popup (override-redirect) over the window behind.
    popup = ["popup", PROTECTED, "160x120+100+420"] if colour == PROTECTED else []
    process = session.start([fixture, wm_class, colour, f"{width}x{height}+{x}+{y}", *popup],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # A window manager places new windows itself; put each where the checks expect it.
    session.run("xdotool", "windowmove", "--sync", process.stdout.readline().strip(), str(x), str(y))


def install_with_setup(session, download, home):
    """Unpacks the download into the home folder and starts its launcher, as a user does."""
    manifest = os.path.join(session.env["XDG_CONFIG_HOME"], "chromium/NativeMessagingHosts/net.tavrino.share_companion.json")
    session.run("tar", "-xf", os.path.abspath(download), "-C", f"{home}/Downloads", as_user=True)
    folder = os.path.basename(download).removesuffix(".tar.xz")
    setup = session.start([f"{home}/Downloads/{folder}/Tavrino Sharing Setup"])
    wait_for("the host manifest", lambda: os.path.exists(manifest), 60)
    window = wait_for("the setup window", lambda: session.run("xdotool", "search", "--name", "^Tavrino Sharing Setup$"), 30)

    def finished():  # "OK" on the success screen ends the program; Return presses it.
        session.run("xdotool", "windowfocus", "--sync", window.splitlines()[0])
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


FLAGS = ["--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--password-store=basic",
         "--disable-dev-shm-usage"]  # containers often have a small /dev/shm


def start_browser(session, extension, log_path):
    """Chromium on the display; returns a queue of the viewer's self-test lines from its log."""
    lines, log = queue.Queue(), open(log_path, "w")
    process = session.start(
        [CHROMIUM, *session.flags, "--enable-logging=stderr", "--v=0", f"--load-extension={extension}",
         f"--window-position={DESKTOP_WIDTH},0", f"--window-size={SCREEN[0] - DESKTOP_WIDTH},{SCREEN[1]}"],
        stderr=subprocess.PIPE, text=True, errors="replace")

    def read():
        for line in process.stderr:
            log.write(line)
            log.flush()
            found = re.search(r'"TAVRINO-SELFTEST (\w+) (.*)", source: ', line)
            if found:
                lines.put((found.group(1), json.loads(found.group(2))))

    threading.Thread(target=read, daemon=True).start()
    profile = os.path.join(session.env["XDG_CONFIG_HOME"], "chromium")
    wait_for("Chromium", lambda: os.path.lexists(os.path.join(profile, "SingletonSocket")), 30)
    # Its first window shows once the profile, and with it the extension, has loaded.
    wait_for("Chromium's window", lambda: session.run("xdotool", "search", "--onlyvisible", "--class", "chromium"), 30)
    return lines


def helper_processes(executable):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        found += [(int(pid), args[1:])] if args[0] == executable else []
    return found


def share(lines, session, options):
    """A user's way through the viewer: it opens before the helper is installed
    and before the protected application runs, and "Try Again" gets past both."""
    home, demo = session.env["HOME"], options.demo
    query = (f"selftest&frames={WANTED_FRAMES * (3 if demo else 1)}&protected={PROTECTED}"
             f"&visible={','.join(w[1] for w in WINDOWS if w[1] != PROTECTED)}"
             f"&region=0,0,{DESKTOP_WIDTH},{SCREEN[1]}" + ("&record" if demo else ""))
    # As a user would: the running browser takes the address and opens a tab.
    session.run(CHROMIUM, *session.flags, f"chrome-extension://{EXTENSION_ID}/viewer.html?{query}", as_user=True)
    helper, protected_open, seen = None, False, {}
    deadline = time.monotonic() + 150
    while "pixels" not in seen:
        if time.monotonic() > deadline:
            raise TimeoutError(f"the share did not finish; the viewer reported {sorted(seen)}")
        try:
            kind, message = lines.get(timeout=60)
        except queue.Empty:
            raise TimeoutError("the viewer reported nothing for 60 s") from None
        seen.setdefault(kind, message)
        # Tries made while the setup program runs may still fail as before.
        if kind == "shown" and "not installed" in message["text"] and helper is None:
            progress("installing the helper with the setup program")
            helper = install_with_setup(session, options.download, home)
        elif kind == "shown" and "Open Tavrino" in message["text"] and not protected_open:
            progress("opening the protected application's window")
            open_window(session, options.fixture, WINDOWS[1])
            protected_open = True
        elif kind in ("error", "disconnected") and "hello" in seen and message.get("code") != "tavrinoUnavailable":
            raise RuntimeError(f"the viewer received {kind}: {message}")
        elif kind == "started":
            serving = [pid for pid, args in helper_processes(helper) if args[:1] == [f"chrome-extension://{EXTENSION_ID}/"]]
            expect(serving, "Chromium started the installed helper for the extension")
            # Qt is for the permission alert only; mapped, it costs the capture about 10 MiB.
            expect(serving and all("libQt6" not in open(f"/proc/{pid}/maps").read() for pid in serving),
                   "the capturing helper has not loaded Qt")
        elif kind == "decoded" and demo and message["decoded"] == WANTED_FRAMES:
            picture(session, demo)
    return helper, seen


def picture(session, folder):
    """The screen while it is shared, and the desktop beside the viewer page."""
    screen, viewer = os.path.join(folder, "screen.png"), os.path.join(folder, "viewer.png")
    session.run("import", "-window", "root", screen)
    session.run("convert", screen, "-crop", f"{SCREEN[0] - DESKTOP_WIDTH}x{SCREEN[1]}+{DESKTOP_WIDTH}+0", "+repage", viewer)
    session.run("convert", "(", screen, "-crop", f"{DESKTOP_WIDTH}x{SCREEN[1]}+0+0", "+repage", ")",
                "(", viewer, "-background", "white", "-splice", "24x0", ")", "+append",
                os.path.join(folder, "protected-sharing.png"))


def check(seen):
    pixels, stats = seen["pixels"], seen.get("stats", {})
    decoded = pixels["decoded"]
    expect(decoded >= WANTED_FRAMES, f"{decoded} frames decoded by WebCodecs")
    expect(pixels["protectedPixels"] == 0, f"{pixels['protectedPixels']} decoded pixels in the protected colour")
    for _, colour, width, height, _, _ in WINDOWS:
        if colour != PROTECTED:
            shown = pixels["visible"][colour]
            expect(shown >= 0.97 * width * height, f"window {colour}: {shown} of {width * height} pixels shown")
    # Frames still being decoded when the share stopped were never acknowledged: at most 2.
    sent, received, drops = stats.get("sent", -1), stats.get("received", -1), stats.get("backpressureDrops", -1)
    expect(0 <= sent - decoded <= 2 and sent <= received - drops,
           f'"stats" {{received {received}, sent {sent}, backpressureDrops {drops}}} against {decoded} decoded')
    expect("stopped" in seen, '"stopped" after the page stopped the share')


def main():
    parser = argparse.ArgumentParser()
    for name in ("--download", "--fixture", "--extension"):
        parser.add_argument(name, required=True)
    parser.add_argument("--demo", help="folder for the pictures and the video")
    options = parser.parse_args()
    for tool in (CHROMIUM, "Xvfb", "openbox", "xdotool", "xprop", "import"):
        if not shutil.which(tool):
            print(f"{tool} is not installed; skipping")
            return 77

    user = ordinary_user()
    with tempfile.TemporaryDirectory(prefix="tavrino-browser-") as home:
        os.mkdir(f"{home}/Downloads")
        for folder in (home, f"{home}/Downloads"):
            if user:
                os.chown(folder, user.pw_uid, user.pw_gid)
        env = {key: value for key, value in os.environ.items()
               if key not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR")}
        env.update(HOME=home, XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                   XDG_CACHE_HOME=f"{home}/.cache")
        session = Session(env, user)
        if options.demo:
            os.makedirs(options.demo, exist_ok=True)
        log = os.path.join(options.demo or home, "chromium.log")
        try:
            progress("starting a virtual display with openbox")
            # Started as a display manager starts it; with no authority file it takes every local user's clients.
            xvfb = session.start(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                                 as_user=False, stdout=subprocess.PIPE, text=True)
            env["DISPLAY"] = ":" + xvfb.stdout.readline().strip()
            session.start(["openbox", "--sm-disable"])
            wait_for("openbox", lambda: "window id" in session.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), 10)
            for window in (WINDOWS[0], WINDOWS[2]):
                open_window(session, options.fixture, window)
            progress("starting Chromium with the reference extension")
            lines = start_browser(session, os.path.abspath(options.extension), log)
            helper, seen = share(lines, session, options)
            check(seen)
            wait_for("the helper to end when the page closed its port", lambda: not helper_processes(helper), 15)
            expect(True, "the helper ended when the page closed its port")
            if options.demo:
                downloaded = os.path.join(home, "Downloads/received.webm")
                wait_for("the recording", lambda: os.path.exists(downloaded), 20)
                shutil.copy(downloaded, os.path.join(options.demo, "received.webm"))
                print(f"\n{options.demo}: protected-sharing.png (the desktop beside the viewer page), screen.png, "
                      "received.webm (what the viewer decoded), chromium.log")
        except Exception as error:  # noqa: BLE001 - reported as a failed check with the browser's log
            expect(False, f"{type(error).__name__}: {error}")
        finally:
            for pid, _ in helper_processes(f"{home}/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost"):
                os.kill(pid, signal.SIGKILL)
            session.close()
        if failed and not options.demo:
            with open(log, errors="replace") as f:
                print("Chromium's log (last lines):\n" + "".join([line for line in f if "dbus" not in line][-40:]))
        progress(f"{len(failed)} check(s) failed" if failed else "all checks passed")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
