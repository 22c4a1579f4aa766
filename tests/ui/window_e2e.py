#!/usr/bin/python3
# The window end to end, through the accessibility tree: the demo library, a
# FAT32 image player mounted through fusefat, and the real program. Adds an
# album from the library browser and a playlist by dragging it onto the list,
# unticks a track, removes an item and ejects, checking the player's files
# after each step and the status area on the way; writes a screenshot of
# each state.
#
# Run inside Xvfb and a private session bus:
#   xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
#       /usr/bin/python3 tests/ui/window_e2e.py BRISLE SOURCE_DIR SHOTS_DIR
# A missing facility fails the test; nothing is skipped.

import os, shutil, subprocess, sys, tempfile, time

import gui_session

if sys.argv[1] == "--watch":
    # A second process reads the status lines all along: the copy of the
    # small demo songs is over while the test is busy clicking.
    import dogtail.config
    dogtail.config.config.checkForA11y = False
    import dogtail.tree
    win = dogtail.tree.root.application("Brisle").child(roleName="frame")
    nodes = [win.child(name=n, roleName="label") for n in ("Status", "Second status")]
    with open(sys.argv[2], "a") as out:
        while True:
            for node in nodes:
                node.clear_cache()
                out.write(node.description + "\n")
            out.flush()
            time.sleep(0.005)

brisle, source, shots = sys.argv[1:4]
gui_session.require("window_e2e", ("fusefat", "fusermount", "mkfs.vfat", "import", "ffmpeg"))
import dogtail.rawinput as raw
import dogtail.tree

work = tempfile.mkdtemp(prefix="brisle-window-")
os.makedirs(shots, exist_ok=True)
volumes, library = os.path.join(work, "volumes"), os.path.join(work, "library")
mount = os.path.join(volumes, "PLAYER")
music = os.path.join(mount, "Music")
env = dict(os.environ, XDG_CONFIG_HOME=work + "/config", XDG_CACHE_HOME=work + "/cache", BRISLE_VOLUMES=volumes,
           QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", BRISLE_UPDATE_URL="http://127.0.0.1:9/none")
run = lambda *a: subprocess.run(a, check=True, env=env, stdout=subprocess.DEVNULL)
seen = set()  # every status line shown


def fail(what):
    shot("failure")
    sys.exit("window_e2e: " + what)


def player_files():
    found = set()
    for folder, _, files in os.walk(music):
        found |= {os.path.relpath(os.path.join(folder, f), music) for f in files}
    return found


labels = {}


def status(label):
    if label not in labels:
        labels[label] = win.child(name=label, roleName="label")
    labels[label].clear_cache()  # the accessibility library keeps the value it read first
    return labels[label].description


def watch():
    with open(work + "/status.log") as log:
        seen.update(line.rstrip("\n") for line in log)


def wait(what, done, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        watch()
        if done():
            return
        time.sleep(0.01)
    fail("timed out waiting for " + what + "; on the player: " + str(sorted(player_files())))


def shot(name):
    subprocess.run(["import", "-window", "root", "-crop", "1000x640+0+0", os.path.join(shots, name + ".png")])


def cell(tree, name):
    return tree.child(name=name, roleName="table cell")


app_process = watcher = None
try:
    subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    run("/usr/bin/python3", os.path.join(source, "examples/make-demo-library.py"), library)
    os.makedirs(mount)
    run("mkfs.vfat", "-C", "-F", "32", "-n", "PLAYER", work + "/player.img", "65536")
    run("fusefat", "-o", "rw+", work + "/player.img", mount)
    lib = os.path.join(library, "iTunes Music Library.xml")
    run(brisle, "config", "set", "pathToPlayer", music, "--library", lib)
    app_process = subprocess.Popen([brisle, "--library", lib], env=env)

    win = dogtail.tree.root.application("Brisle").child(roleName="frame")
    open(work + "/status.log", "w").close()
    watcher = subprocess.Popen(["/usr/bin/python3", __file__, "--watch", work + "/status.log"], stdout=subprocess.DEVNULL)
    browser = win.child(name="Library", roleName="tree")
    music_list = win.child(name="Music list", roleName="tree")
    wait("the empty list", lambda: status("Player name") == "PLAYER")
    shot("01-empty")

    # A second launch hands over to this window and quits: one controller per session.
    second = subprocess.run([brisle, "--library", lib], env=env, timeout=30)
    if second.returncode != 0 or [a.name for a in dogtail.tree.root.applications()].count("Brisle") != 1:
        fail("a second launch did not hand over to the first window")

    # An album from the browser: searched for, selected, "Add to Player".
    search = win.child(name="Search library", roleName="text")
    search.click()
    raw.typeText("sine waves")
    wait("the search", lambda: len([c for c in browser.children if c.name == "Greatest Hits"]) == 1)
    cell(browser, "Greatest Hits").click()
    win.child(name="Add to Player", roleName="push button").doActionNamed("Press")
    wait("the album's copies", lambda: len(player_files()) >= 3 and status("Status") == "")
    album = player_files()
    track = next(f for f in album if "Forty-Four Hundred" in f)
    if not all("Greatest Hits/" in f for f in album):
        fail("the album put other files on the player: " + str(album))
    shot("02-album-added")

    # A playlist dragged from the browser onto the list.
    search.click()
    raw.keyCombo("<Control>a")
    raw.pressKey("BackSpace")
    wait("the whole library", lambda: any(c.name == "Favourites" for c in browser.children))
    source_cell, target = cell(browser, "Favourites"), music_list
    (x, y), (w, h) = source_cell.position, source_cell.size
    (tx, ty), (tw, th) = target.position, target.size
    raw.press(x + w // 3, y + h // 2)
    for i in range(1, 21):
        raw.absoluteMotion(x + w // 3 + (tx + tw // 2 - x - w // 3) * i // 20, y + h // 2 + (ty + th * 2 // 3 - y - h // 2) * i // 20)
        time.sleep(0.05)
    raw.release(tx + tw // 2, ty + th * 2 // 3)
    wait("the playlist's row", lambda: any(c.name == "Favourites" for c in music_list.children))
    wait("the playlist's copies", lambda: any(f.startswith("Favourites/") for f in player_files()) and status("Status") == "", 180)
    playlist = {f for f in player_files() if f.startswith("Favourites/")}
    shot("03-playlist-added")
    if not any(s.startswith(("Copying", "Converting")) for s in seen if s):
        fail("the status area never showed the copy; it showed " + str(seen))
    room = status("Free space")
    if not (room.endswith(" available") or room == "Free space unknown"):  # fusefat tells no sizes
        fail("the room left reads " + room)

    # A track unticked: the album row opened with the keys, the track's box ticked off with Space.
    cell(music_list, "Greatest Hits").click()
    raw.pressKey("Right")
    wait("the album's tracks", lambda: any(c.name == "Forty-Four Hundred" for c in music_list.children))
    cell(music_list, "Forty-Four Hundred").click()
    raw.pressKey("space")
    wait("the unticked track to go", lambda: player_files() == (album - {track}) | playlist)
    shot("04-track-unticked")

    # The playlist removed with Delete.
    cell(music_list, "Favourites").click()
    raw.pressKey("Delete")
    wait("the playlist to go", lambda: not any(c.name == "Favourites" for c in music_list.children)
         and player_files() == album - {track} and status("Status") == "")
    shot("05-playlist-removed")

    # Eject, once it is offered.
    eject = win.child(name="Eject", roleName="push button")
    wait("the eject button", lambda: eject.sensitive)
    eject.doActionNamed("Press")
    wait("the player to go", lambda: not os.path.ismount(mount) and status("Free space") == "Not mounted")
    shot("06-ejected")
    if eject.sensitive:
        fail("the eject button is still offered without a player")
    print("window_e2e: passed; screenshots in", shots)
finally:
    if watcher:
        watcher.kill()
    if app_process:
        app_process.terminate()
        app_process.wait(10)
    if os.path.ismount(mount):
        subprocess.run(["fusermount", "-u", mount])
    shutil.rmtree(work, ignore_errors=True)
