#!/usr/bin/env python3
"""Generate a small demo music library for trying out Brisle.

Usage:
    python3 examples/make-demo-library.py OUTDIR

Creates OUTDIR/Music/ with about twenty short generated songs (MP3, AAC,
Apple Lossless, WAV) in an iTunes-like folder layout, and writes
OUTDIR/"iTunes Music Library.xml" describing them in the XML property list
layout iTunes uses.

Needs only Python 3 (standard library) plus the ffmpeg and ffprobe programs.
The output is deterministic: track IDs, persistent IDs and dates are the same
on every run; file sizes, durations and bit rates are measured from the files
that ffmpeg actually produced.
"""

import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import unicodedata
import urllib.parse
from datetime import datetime, timedelta, timezone

LIBRARY_XML_NAME = "iTunes Music Library.xml"
APPLICATION_VERSION = "7.0.2"
FIRST_TRACK_ID = 1001
TRACK_ID_STEP = 2          # real libraries have gaps between track IDs
FIRST_PLAYLIST_ID = 3001
PLAYLIST_ID_STEP = 3

# Fixed timestamps so the XML is identical on every run.
BASE_DATE_ADDED = datetime(2006, 5, 12, 19, 20, 14, tzinfo=timezone.utc)
BASE_DATE_MODIFIED = datetime(2006, 5, 10, 8, 15, 0, tzinfo=timezone.utc)

# Kinds exactly as iTunes names them.
KIND = {
    "mp3": "MPEG audio file",
    "aac": "AAC audio file",
    "alac": "Apple Lossless audio file",
    "wav": "WAV audio file",
    "protected": "Protected AAC audio file",
    "stream": "MPEG audio stream",
}
EXTENSION = {"mp3": ".mp3", "aac": ".m4a", "alac": ".m4a", "wav": ".wav",
             "protected": ".m4p"}


def nfc(text):
    if isinstance(text, str):
        return unicodedata.normalize("NFC", text)
    return text


# --------------------------------------------------------------------------
# The collection.
#
# Every entry is one track.  Keys used here:
#   name, artist, album_artist, composer, album, genre, year, disc, discs,
#   track, tracks, release (ISO date string), compilation, podcast, disabled,
#   protected  -- library metadata (album may be absent)
#   fmt        -- "mp3" | "aac" | "alac" | "wav" | "protected" | "stream"
#   bitrate    -- encoder bit rate in kbit/s for lossy formats
#   mono       -- generate a single-channel file
#   rate       -- sample rate (default 44100)
#   freq, dur  -- tone frequency (Hz) and length (s) of the generated audio
#   missing    -- list the track but do not create its file
#   url        -- stream address for "stream" entries (no file at all)
#   role       -- short note on what the entry is there to exercise
# --------------------------------------------------------------------------

GH1 = dict(artist="The Sine Waves", album="Greatest Hits", genre="Pop",
           year=2003, composer="J. Fourier", discs=1, disc=1, tracks=3,
           fmt="mp3", bitrate=128)
GH2 = dict(artist="AC/DC-like", album="Greatest Hits", genre="Rock",
           year=1999, discs=1, disc=1, tracks=3, fmt="mp3", bitrate=128,
           release="1999-09-27T07:00:00Z")
CAFE = dict(artist="Orquesta Añeja", album="Café del Mar", genre="Latin",
            year=2005, composer="José Müller & Zoë Ørsted", tracks=12,
            fmt="aac", bitrate=128, release="2005-06-01T07:00:00Z")
ALAC = dict(artist="Clara Lossless", album="Bits & Pieces <Deluxe>",
            genre="Classical", year=2006, composer="Clara Lossless",
            discs=2, tracks=2, fmt="alac")
WAVS = dict(artist="Analog Tape Club", album="Field Recordings",
            genre="Ambient", year=2001, discs=1, disc=1, tracks=2, fmt="wav")
COMP = dict(album="Summer Sampler 2006", genre="Dance", year=2006,
            compilation=True, discs=1, disc=1, tracks=3)
POD = dict(artist="Brisle Radio Team", album="Signal Hour", genre="Podcast",
           podcast=True, fmt="mp3", bitrate=64, mono=True)

COLLECTION = [
    # Two albums called "Greatest Hits" by different artists.
    dict(GH1, name="Hello, Oscillator", track=1, freq=262, dur=3),
    dict(GH1, name="Forty-Four Hundred", track=2, freq=294, dur=2.5),
    dict(GH1, name="Square Peg", track=3, freq=330, dur=3, disabled=True,
         role="Disabled"),
    dict(GH2, name="Highway to Hertz", track=1, freq=196, dur=3),
    dict(GH2, name="Back in Black Noise", track=2, freq=220, dur=2.5),
    dict(GH2, name="T.N.Tone (Remastered)", track=3, freq=247, dur=3,
         bitrate=320, role="high bit rate MP3 (320 kbit/s)"),
    # AAC album with accents; one track credited to a guest artist.
    dict(CAFE, name="Señorita Sinusoidal", track=1, freq=349, dur=3),
    dict(CAFE, name="Über: Alles?", track=2, freq=392, dur=2.5,
         role="':' and '?' in the song name"),
    dict(CAFE, name="Noche en São Paulo", track=7, freq=440, dur=3.5,
         artist="Orquesta Añeja feat. Niño", album_artist="Orquesta Añeja",
         role="Album Artist differs from Artist"),
    # Apple Lossless, two discs, one track at 48 kHz.
    dict(ALAC, name="Prelude in C", disc=1, track=1, freq=523, dur=3),
    dict(ALAC, name="Fugue / Reprise", disc=1, track=2, freq=587, dur=2.5,
         role="'/' in the song name"),
    dict(ALAC, name="Encore", disc=2, track=1, freq=659, dur=2, rate=48000,
         role="48 kHz sample rate"),
    # WAV, one of them mono.
    dict(WAVS, name="Mono Hum", track=1, freq=110, dur=2, mono=True,
         role="mono"),
    dict(WAVS, name="Stereo Rain", track=2, freq=698, dur=2),
    # Compilation: several artists on one album.
    dict(COMP, name="Sunburn", artist="DJ Résumé", track=1, freq=370, dur=3,
         fmt="mp3", bitrate=128),
    dict(COMP, name="Love <3 & Hate", artist="Mlle Chloé", track=2,
         freq=415, dur=3, fmt="aac", bitrate=128,
         role="'<' and '&' in the song name"),
    dict(COMP, name="Beach Sine #9 (100% Mix)", artist="The Sine Waves",
         track=3, freq=466, dur=2.5, fmt="mp3", bitrate=192,
         role="'#' and '%' kept in the file name"),
    # Podcast with two episodes.
    dict(POD, name="Episode 1: What Is a Sine?", freq=175, dur=3,
         release="2006-04-03T12:00:00Z", role="Podcast"),
    dict(POD, name="Episode 2: Square & Saw", freq=185, dur=3,
         release="2006-04-10T12:00:00Z", role="Podcast"),
    # A single with no album at all.
    dict(name="Untitled Demo?", artist="Lonely Busker", genre="Folk",
         year=2004, fmt="mp3", bitrate=128, freq=311, dur=2,
         role="no Album key"),
    # Copy-protected purchase: listed, must be skipped.
    dict(name="Locked Groove", artist="Store Bought", album="DRM Days",
         genre="Pop", year=2005, track=1, tracks=10, disc=1, discs=1,
         fmt="protected", bitrate=128, protected=True, freq=277, dur=3,
         release="2005-11-15T08:00:00Z", role="Protected"),
    # Internet radio station: no file, must be skipped.
    dict(name="Brisle FM (Internet Radio)", genre="Radio", fmt="stream",
         url="http://radio.example.com:8000/brisle-fm.mp3", bitrate=128,
         role="URL track (internet radio)"),
    # A track whose file has gone missing.
    dict(name="Vanished Song", artist="Ghost Artist", album="Lost Tapes",
         genre="Rock", year=1998, track=1, tracks=1, fmt="mp3", bitrate=128,
         missing=True, role="Location points to a missing file"),
]

USER_PLAYLISTS = [
    # (name, list of song names; a name may repeat)
    ("Road Trip", ["Highway to Hertz", "Hello, Oscillator", "Sunburn",
                   "Señorita Sinusoidal", "T.N.Tone (Remastered)",
                   "Prelude in C", "Highway to Hertz", "Untitled Demo?"]),
    ("Chill: Evening?", ["Noche en São Paulo", "Mono Hum", "Stereo Rain",
                         "Encore", "Über: Alles?"]),
    ("Favourites", ["Locked Groove", "Forty-Four Hundred", "Vanished Song",
                    "Love <3 & Hate", "Fugue / Reprise",
                    "Beach Sine #9 (100% Mix)"]),
    ("Empty Crate", []),
]


# --------------------------------------------------------------------------
# Paths and URLs
# --------------------------------------------------------------------------

UNSAFE_FILE_CHARS = set('/\\:*?"<>|')


def safe_component(text):
    """One path component, iTunes style: unsafe characters become '_'."""
    out = "".join("_" if (c in UNSAFE_FILE_CHARS or ord(c) < 32) else c
                  for c in nfc(text))
    out = out.strip().rstrip(".")
    if out.startswith("."):
        out = "_" + out[1:]
    return out or "_"


def relative_path(t):
    """Music-folder-relative path, iTunes style."""
    if t.get("podcast"):
        folder = ["Podcasts", safe_component(t["album"])]
    else:
        if t.get("compilation"):
            first = "Compilations"
        else:
            first = safe_component(t.get("album_artist") or t.get("artist")
                                   or "Unknown Artist")
        folder = [first, safe_component(t.get("album") or "Unknown Album")]
    prefix = ""
    if t.get("track"):
        prefix = "%02d " % t["track"]
        if (t.get("discs") or 1) > 1 and t.get("disc"):
            prefix = "%d-%02d " % (t["disc"], t["track"])
    filename = safe_component(prefix + t["name"]) + EXTENSION[t["fmt"]]
    return os.path.join(*folder, filename)


# Characters iTunes leaves alone in a Location besides letters and digits.
URL_SAFE = "/-._~!$&'()*+,=@"


def file_url(abs_path, directory=False):
    path = nfc(abs_path).replace(os.sep, "/")
    if not path.startswith("/"):          # e.g. C:/Users/... on Windows
        path = "/" + path
    if directory and not path.endswith("/"):
        path += "/"
    return "file://localhost" + urllib.parse.quote(path.encode("utf-8"),
                                                   safe=URL_SAFE)


def persistent_id(*parts):
    text = "brisle-demo\x1f" + "\x1f".join(str(p) for p in parts)
    return hashlib.sha1(text.encode("utf-8")).hexdigest()[:16].upper()


# --------------------------------------------------------------------------
# Audio generation and measurement
# --------------------------------------------------------------------------

def ffmpeg_command(t, out_path):
    rate = t.get("rate", 44100)
    dur = t["dur"]
    source = "sine=frequency=%s:beep_factor=2:sample_rate=%d:duration=%s" % (
        t["freq"], rate, dur)
    fade = "afade=t=in:d=0.05,afade=t=out:st=%s:d=0.3" % (dur - 0.3)
    cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
           "-f", "lavfi", "-i", source, "-af", fade,
           "-ac", "1" if t.get("mono") else "2", "-ar", str(rate),
           "-fflags", "+bitexact", "-flags:a", "+bitexact"]
    fmt = t["fmt"]
    if fmt == "mp3":
        cmd += ["-c:a", "libmp3lame", "-b:a", "%dk" % t["bitrate"],
                "-id3v2_version", "3"]
    elif fmt in ("aac", "protected"):
        cmd += ["-c:a", "aac", "-b:a", "%dk" % t["bitrate"], "-f", "ipod"]
    elif fmt == "alac":
        cmd += ["-c:a", "alac", "-sample_fmt", "s16p", "-f", "ipod"]
    elif fmt == "wav":
        cmd += ["-c:a", "pcm_s16le", "-f", "wav"]
    else:
        raise ValueError(fmt)
    meta = {
        "title": t["name"],
        "artist": t.get("artist"),
        "album_artist": t.get("album_artist"),
        "album": t.get("album"),
        "composer": t.get("composer"),
        "genre": t.get("genre"),
        "date": t.get("year"),
    }
    if t.get("track"):
        meta["track"] = "%d/%d" % (t["track"], t["tracks"]) \
            if t.get("tracks") else str(t["track"])
    if t.get("disc"):
        meta["disc"] = "%d/%d" % (t["disc"], t["discs"]) \
            if t.get("discs") else str(t["disc"])
    if t.get("compilation") and fmt != "wav":
        meta["compilation"] = "1"
    for key, value in meta.items():
        if value is not None:
            cmd += ["-metadata", "%s=%s" % (key, value)]
    cmd.append(out_path)
    return cmd


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0",
         "-show_entries", "format=duration,bit_rate:stream=bit_rate,"
         "sample_rate,channels", "-of", "json", path],
        check=True, capture_output=True).stdout
    info = json.loads(out)
    stream = info["streams"][0]
    fmt = info["format"]
    bit_rate = stream.get("bit_rate") or fmt.get("bit_rate")
    return {
        "total_time": int(round(float(fmt["duration"]) * 1000)),
        "bit_rate": int(round(int(bit_rate) / 1000.0)),
        "sample_rate": int(stream["sample_rate"]),
        "channels": int(stream["channels"]),
        "size": os.path.getsize(path),
    }


def make_audio(t, abs_path):
    os.makedirs(os.path.dirname(abs_path), exist_ok=True)
    result = subprocess.run(ffmpeg_command(t, abs_path),
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("ffmpeg failed for %s:\n%s"
                           % (abs_path, result.stderr))
    return probe(abs_path)


# --------------------------------------------------------------------------
# XML property list writer (iTunes layout)
# --------------------------------------------------------------------------

def xml_escape(text):
    # iTunes uses numeric character references for the markup characters.
    return (text.replace("&", "&#38;").replace("<", "&#60;")
                .replace(">", "&#62;"))


def iso_date(value):
    if isinstance(value, str):
        return value
    return value.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Date(str):
    """Marks a string that must be written as <date>."""


def scalar(value):
    if value is True:
        return "<true/>"
    if value is False:
        return "<false/>"
    if isinstance(value, int):
        return "<integer>%d</integer>" % value
    if isinstance(value, Date):
        return "<date>%s</date>" % value
    return "<string>%s</string>" % xml_escape(nfc(value))


def emit(lines, value, depth):
    """Write a dict or array at the given depth (tabs)."""
    tab = "\t" * depth
    if isinstance(value, dict):
        lines.append(tab + "<dict>")
        for key, item in value.items():
            key_xml = "%s\t<key>%s</key>" % (tab, xml_escape(nfc(key)))
            if isinstance(item, (dict, list)):
                lines.append(key_xml)
                emit(lines, item, depth + 1)
            else:
                lines.append(key_xml + scalar(item))
        lines.append(tab + "</dict>")
    elif isinstance(value, list):
        lines.append(tab + "<array>")
        for item in value:
            if isinstance(item, (dict, list)):
                emit(lines, item, depth + 1)
            else:
                lines.append(tab + "\t" + scalar(item))
        lines.append(tab + "</array>")
    else:
        raise TypeError(value)


def plist_text(root):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" '
             '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
             '<plist version="1.0">']
    # Top-level dict sits at column 0, its keys one tab in, as iTunes does.
    emit(lines, root, 0)
    lines.append("</plist>")
    return "\n".join(lines) + "\n"


# --------------------------------------------------------------------------
# Library assembly
# --------------------------------------------------------------------------

def track_dict(t, track_id, index, location, measured):
    d = {"Track ID": track_id, "Name": t["name"]}
    for key, field in (("Artist", "artist"), ("Album Artist", "album_artist"),
                       ("Composer", "composer"), ("Album", "album"),
                       ("Genre", "genre")):
        if t.get(field):
            d[key] = t[field]
    d["Kind"] = KIND[t["fmt"]]
    if measured:
        d["Size"] = measured["size"]
        d["Total Time"] = measured["total_time"]
    for key, field in (("Disc Number", "disc"), ("Disc Count", "discs"),
                       ("Track Number", "track"), ("Track Count", "tracks"),
                       ("Year", "year")):
        if t.get(field):
            d[key] = t[field]
    if t["fmt"] != "stream":
        d["Date Modified"] = Date(iso_date(
            BASE_DATE_MODIFIED + timedelta(hours=index, minutes=7 * index)))
    d["Date Added"] = Date(iso_date(
        BASE_DATE_ADDED + timedelta(minutes=3 * index, seconds=11 * index)))
    if measured:
        d["Bit Rate"] = measured["bit_rate"]
        d["Sample Rate"] = measured["sample_rate"]
    elif t["fmt"] == "stream":
        d["Bit Rate"] = t["bitrate"]
        d["Sample Rate"] = 44100
    if t.get("release"):
        d["Release Date"] = Date(t["release"])
    for key, field in (("Compilation", "compilation"), ("Podcast", "podcast"),
                       ("Protected", "protected"), ("Disabled", "disabled")):
        if t.get(field):
            d[key] = True
    d["Persistent ID"] = persistent_id("track", t.get("artist"),
                                       t.get("album"), t["name"])
    d["Track Type"] = "URL" if t["fmt"] == "stream" else "File"
    d["Location"] = location
    if t["fmt"] != "stream":
        d["File Folder Count"] = -1
        d["Library Folder Count"] = -1
    return d


def items(ids):
    return [{"Track ID": i} for i in ids]


def playlist(name, playlist_id, extra_before, extra_after, ids):
    d = {"Name": name}
    d.update(extra_before)
    d["Playlist ID"] = playlist_id
    d["Playlist Persistent ID"] = persistent_id("playlist", name)
    d.update(extra_after)
    d["All Items"] = True
    if ids:
        # iTunes leaves "Playlist Items" out entirely for an empty playlist.
        d["Playlist Items"] = items(ids)
    return d


def main(argv):
    if len(argv) != 2 or argv[1] in ("-h", "--help"):
        sys.stderr.write("usage: python3 %s OUTDIR\n"
                         % os.path.basename(argv[0]))
        return 2
    for tool in ("ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            sys.stderr.write("error: %s not found on PATH\n" % tool)
            return 1

    started = time.monotonic()
    outdir = os.path.abspath(argv[1])
    music = os.path.join(outdir, "Music")
    xml_path = os.path.join(outdir, LIBRARY_XML_NAME)
    os.makedirs(outdir, exist_ok=True)
    # Regenerate from scratch: only our own outputs are removed.
    if os.path.isdir(music):
        shutil.rmtree(music)
    if os.path.exists(xml_path):
        os.remove(xml_path)
    os.makedirs(music)

    tracks = [{k: nfc(v) for k, v in t.items()} for t in COLLECTION]
    paths = {}
    jobs = {}
    workers = os.cpu_count() or 4
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        for i, t in enumerate(tracks):
            if t["fmt"] == "stream":
                continue
            paths[i] = os.path.join(music, relative_path(t))
            if not t.get("missing"):
                jobs[i] = pool.submit(make_audio, t, paths[i])
        measured = {i: job.result() for i, job in jobs.items()}

    # A missing file still has the details iTunes remembered from before.
    for i, t in enumerate(tracks):
        if t.get("missing"):
            measured[i] = {"size": 48640, "total_time": 3030, "bit_rate": 128,
                           "sample_rate": 44100}

    track_ids = [FIRST_TRACK_ID + TRACK_ID_STEP * i
                 for i in range(len(tracks))]
    track_dicts = {}
    for i, t in enumerate(tracks):
        location = t["url"] if t["fmt"] == "stream" else file_url(paths[i])
        track_dicts[str(track_ids[i])] = track_dict(
            t, track_ids[i], i, location, measured.get(i))

    pids = set(d["Persistent ID"] for d in track_dicts.values())
    assert len(pids) == len(track_dicts), "persistent IDs must be unique"
    names = {}
    for i, t in enumerate(tracks):
        assert t["name"] not in names, "song names must be unique here"
        names[t["name"]] = track_ids[i]

    all_ids = list(track_ids)
    podcast_ids = [track_ids[i] for i, t in enumerate(tracks)
                   if t.get("podcast")]
    music_ids = [tid for tid in all_ids if tid not in podcast_ids]

    next_id = iter(range(FIRST_PLAYLIST_ID, 10 ** 6, PLAYLIST_ID_STEP))
    playlists = [
        playlist("Library", next(next_id), {"Master": True},
                 {"Visible": False}, all_ids),
        playlist("Music", next(next_id), {},
                 {"Distinguished Kind": 4, "Music": True}, music_ids),
        playlist("Podcasts", next(next_id), {},
                 {"Distinguished Kind": 10, "Podcasts": True}, podcast_ids),
    ]
    for name, songs in USER_PLAYLISTS:
        playlists.append(playlist(nfc(name), next(next_id), {}, {},
                                  [names[nfc(s)] for s in songs]))

    root = {
        "Major Version": 1,
        "Minor Version": 1,
        "Application Version": APPLICATION_VERSION,
        "Features": 5,
        "Show Content Ratings": True,
        "Music Folder": file_url(music, directory=True),
        "Library Persistent ID": persistent_id("library"),
        "Tracks": track_dicts,
        "Playlists": playlists,
    }
    with open(xml_path, "w", encoding="utf-8", newline="\n") as f:
        f.write(plist_text(root))

    total_bytes = sum(m["size"] for i, m in measured.items()
                      if not tracks[i].get("missing"))
    print("Demo library: %d tracks (%d audio files, %.0f KiB), %d playlists "
          "-> %s (%.1f s)" % (len(tracks), len(jobs), total_bytes / 1024.0,
                              len(playlists), xml_path,
                              time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
