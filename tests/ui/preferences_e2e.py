#!/usr/bin/python3
# The preferences end to end, through the accessibility tree: at the first
# start with no player the dialog opens by itself; the FAT32 image volume and
# the "Sony Ericsson phone" profile are picked and the files land in "/MP3/".
# A second first start with no volume at all shows "No players found", and
# "Quit" ends the program cleanly.
#
# Run inside Xvfb and a private session bus, as window_e2e.py:
#   xvfb-run -a dbus-run-session -- /usr/bin/python3 tests/ui/preferences_e2e.py BRISLE SOURCE_DIR SHOTS_DIR

import os, shutil, subprocess, sys, tempfile, time

import gui_session

brisle, source, shots = sys.argv[1:4]
gui_session.require("preferences_e2e", ("fusefat", "fusermount", "mkfs.vfat", "import"))
import dogtail.rawinput as raw
import dogtail.tree

work = tempfile.mkdtemp(prefix="brisle-prefs-")
os.makedirs(shots, exist_ok=True)
volumes, library = os.path.join(work, "volumes"), os.path.join(work, "library")
mount = os.path.join(volumes, "PHONE")
lib = os.path.join(library, "iTunes Music Library.xml")


def environment(name):
    return dict(os.environ, XDG_CONFIG_HOME=f"{work}/{name}/config", XDG_CACHE_HOME=f"{work}/{name}/cache", BRISLE_VOLUMES=volumes,
                QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", BRISLE_UPDATE_URL="http://127.0.0.1:9/none")


def fail(what):
    shot("preferences-failure")
    sys.exit("preferences_e2e: " + what)


def shot(name):
    subprocess.run(["import", "-window", "root", "-crop", "1000x640+0+0", os.path.join(shots, name + ".png")])


def wait(what, done, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        if done():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def player_files():
    return {os.path.relpath(os.path.join(d, f), mount) for d, _, fs in os.walk(mount) for f in fs}


def choose(combo, title):
    # The pop-up opened with a real click, its item clicked. A combo box is
    # named by its current item.
    combo.click()
    time.sleep(0.5)
    combo.child(name=title, roleName="list item").click()
    wait(title, lambda: combo.name == title, 10)


process = None
try:
    subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    subprocess.run(["/usr/bin/python3", os.path.join(source, "examples/make-demo-library.py"), library], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(mount)
    subprocess.run(["mkfs.vfat", "-C", "-F", "32", "-n", "PHONE", work + "/player.img", "65536"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["fusefat", "-o", "rw+", work + "/player.img", mount], check=True)

    label = player_files()  # fusefat shows the volume label as a file
    # First start with a player plugged in: the dialog comes by itself.
    process = subprocess.Popen([brisle, "--library", lib], env=environment("first"))
    app = dogtail.tree.root.application("Brisle")
    dialog = app.child(name="Preferences", roleName="dialog")
    volume, profile = dialog.findChildren(lambda n: n.roleName == "combo box")[:2]
    choose(volume, "PHONE")
    choose(profile, "Sony Ericsson phone")
    folder = dialog.child(name="Folder", roleName="text")
    if folder.text != "/MP3/":
        fail("the profile set the folder to " + folder.text)
    shot("preferences")
    dialog.child(name="OK", roleName="push button").doActionNamed("Press")

    win = app.child(roleName="frame")
    search = win.child(name="Search library", roleName="text")
    search.click()
    raw.typeText("sine waves")
    browser = win.child(name="Library", roleName="tree")
    wait("the search", lambda: any(c.name == "Greatest Hits" for c in browser.children))
    browser.child(name="Greatest Hits", roleName="table cell").click()
    win.child(name="Add to Player", roleName="push button").doActionNamed("Press")
    wait("the album on the player", lambda: len(player_files() - label) >= 6, 120)
    placed = player_files() - label
    if not all(f.startswith("MP3/") for f in placed):
        fail("files outside /MP3/: " + str(sorted(placed)))
    # A kill, as at logging out, ends it as Quit does.
    process.terminate()
    if process.wait(30) != 0:
        fail("the window did not end cleanly on SIGTERM")
    process = None

    # No volume at all: "No players found" until the user quits.
    subprocess.run(["fusermount", "-u", mount], check=True)
    shutil.rmtree(volumes)
    os.makedirs(volumes)
    process = subprocess.Popen([brisle, "--library", lib], env=environment("second"))
    alert = dogtail.tree.root.application("Brisle").child(name="No players found", roleName="alert")
    shot("no-players-found")
    alert.child(name="Quit", roleName="push button").doActionNamed("Press")
    if process.wait(20) != 0:
        fail("Quit did not end the program cleanly")
    process = None
    print("preferences_e2e: passed")
finally:
    if process:
        process.kill()
    if os.path.ismount(mount):
        subprocess.run(["fusermount", "-u", mount])
    shutil.rmtree(work, ignore_errors=True)
