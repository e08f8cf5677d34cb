#!/usr/bin/env python3
"""Tests of tools/demo/serve: the real script in a child process, real tracks
made by sox, lame and flac, fetched over HTTP from 127.0.0.1."""

import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE = os.path.join(HERE, "serve")
PAGE = os.path.join(HERE, "page")


class DemoServer:
    """serve in a child process; the lines it prints tell its port and folder."""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([sys.executable, SERVE] + list(arguments),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = {}
        for _ in range(3):
            line = self.process.stdout.readline()
            if not line:
                break
            key, _, value = line.rstrip("\n").partition(" ")
            self.lines[key] = value
        if "PORT" not in self.lines:
            self.process.kill()
            raise AssertionError("serve did not start: " + self.process.stderr.read())
        self.port = int(self.lines["PORT"])

    def request(self, path, headers=None, method="GET"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=20)
        finally:
            self.process.stdout.close()
            self.process.stderr.close()


def tracks_of(script):
    """The records of tracks.js (a JSON array assigned to window.DEMO_TRACKS)."""
    match = re.search(r"window\.DEMO_TRACKS = (\[.*\]);", script, re.S)
    assert match, script
    return json.loads(match.group(1))


def samples(path):
    """The decoded 16-bit stereo samples of an MP3 (mpg123, gapless) or FLAC file."""
    if path.endswith(".mp3"):
        command = ["mpg123", "-q", "-s", path]
    else:
        command = ["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", path]
    raw = subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout
    return memoryview(raw).cast("h")


def dominant_hertz(left_channel, rate=44100):
    """The pitch of a pure tone, from the rising zero crossings of its middle half."""
    middle = left_channel[len(left_channel) // 4: 3 * len(left_channel) // 4]
    rises = sum(1 for a, b in zip(middle, middle[1:]) if a < 0 <= b)
    return rises * rate / len(middle)


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="serve-test-")
        cls.server = DemoServer("--folder", cls.folder)
        status, _, body = cls.server.request("/tracks.js")
        assert status == 200, status
        cls.tracks = tracks_of(body.decode())

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def file(self, path):
        with open(os.path.join(self.folder, path), "rb") as f:
            return f.read()

    def test_prints_its_address_and_folder(self):
        self.assertEqual(self.server.lines["URL"], "http://127.0.0.1:%d/" % self.server.port)
        self.assertEqual(self.server.lines["FOLDER"], self.folder)

    def test_page_script_style_and_manifest(self):
        status, headers, page = self.server.request("/")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/html; charset=utf-8")
        with open(os.path.join(PAGE, "index.html"), "rb") as f:
            self.assertEqual(page, f.read())
        for reference in (b'src="demo.js"', b'href="demo.css"', b'src="tracks.js"', b'manifest="manifest.appcache"'):
            self.assertIn(reference, page)

        # The client fetches the manifest with a time stamp as query string.
        status, headers, manifest = self.server.request("/manifest.appcache?ts=1700000000")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/cache-manifest"))
        lines = manifest.decode().splitlines()
        self.assertEqual(lines[0], "CACHE MANIFEST")
        explicit = lines[lines.index("CACHE:") + 1: lines.index("NETWORK:")]
        self.assertEqual([line for line in explicit if line], ["demo.css", "demo.js", "tracks.js", "icon.png"])
        # Entries are joined to the player address as they are: each one answers.
        for entry, kind in (("demo.css", "text/css"), ("demo.js", "text/javascript"),
                            ("tracks.js", "text/javascript"), ("icon.png", "image/png")):
            status, headers, body = self.server.request("/" + entry)
            self.assertEqual(status, 200, entry)
            self.assertTrue(headers["content-type"].startswith(kind), entry)
            self.assertGreater(len(body), 0, entry)
        self.assertTrue(self.server.request("/icon.png")[2].startswith(b"\x89PNG\r\n\x1a\n"))

    def test_track_ranges(self):
        for record in self.tracks:
            for path in (record["mp3"], record["flac"]):
                with self.subTest(path=path):
                    data = self.file(path)
                    size = len(data)
                    status, headers, body = self.server.request("/" + path, {"Range": "bytes=1000-4999"})
                    self.assertEqual(status, 206)
                    self.assertEqual(headers["content-range"], "bytes 1000-4999/%d" % size)
                    self.assertEqual(body, data[1000:5000])
                    # Open-ended, suffix, past the end, and the whole file.
                    status, headers, body = self.server.request("/" + path, {"Range": "bytes=%d-" % (size - 10)})
                    self.assertEqual((status, body), (206, data[-10:]))
                    status, headers, body = self.server.request("/" + path, {"Range": "bytes=-7"})
                    self.assertEqual((status, headers["content-range"], body),
                                     (206, "bytes %d-%d/%d" % (size - 7, size - 1, size), data[-7:]))
                    status, headers, body = self.server.request("/" + path, {"Range": "bytes=%d-" % size})
                    self.assertEqual((status, headers["content-range"], body), (416, "bytes */%d" % size, b""))
                    status, headers, body = self.server.request("/" + path)
                    self.assertEqual((status, headers["accept-ranges"], body), (200, "bytes", data))
                    self.assertEqual(headers["content-type"], "audio/mpeg" if path.endswith(".mp3") else "audio/flac")

    def test_validators(self):
        path = "/" + self.tracks[0]["mp3"]
        data = self.file(self.tracks[0]["mp3"])
        status, headers, _ = self.server.request(path, method="HEAD")
        self.assertEqual((status, headers["content-length"]), (200, str(len(data))))
        etag = headers["etag"]
        self.assertEqual(self.server.request(path, {"If-None-Match": etag})[0], 304)
        # A range of the same version is honoured; of another one, the whole file comes.
        status, _, body = self.server.request(path, {"Range": "bytes=0-99", "If-Range": etag})
        self.assertEqual((status, body), (206, data[:100]))
        status, _, body = self.server.request(path, {"Range": "bytes=0-99", "If-Range": '"other"'})
        self.assertEqual((status, body), (200, data))
        # Several ranges at once are not offered: the whole file.
        self.assertEqual(self.server.request(path, {"Range": "bytes=0-1,5-6"})[:1], (200,))

    def test_serves_nothing_else(self):
        for path in ("/index.html", "/page/demo.js", "/serve", "/../serve", "/tracks/../../serve",
                     "/tracks/", "/tracks/9001-missing.mp3", "/%2e%2e/serve", "/" + self.folder + "/tracks.js"):
            with self.subTest(path=path):
                self.assertEqual(self.server.request(path)[0], 404)

    def test_tracks_are_distinct_tones_of_their_length(self):
        pitches = []
        for record in self.tracks:
            self.assertTrue(re.fullmatch(r"[0-9]+", record["id"]), record["id"])
            self.assertTrue(record["title"])
            mp3 = samples(os.path.join(self.folder, record["mp3"]))
            flac = samples(os.path.join(self.folder, record["flac"]))
            frames = record["seconds"] * 44100
            # Exactly the tone's samples: the MP3 carries its encoder delay and
            # padding, which gapless decoding removes, so tracks can follow
            # one another on the exact sample.
            self.assertEqual(len(flac), 2 * frames, record["flac"])
            self.assertEqual(len(mp3), 2 * frames, record["mp3"])
            pitches.append(dominant_hertz(flac[0::2]))
        self.assertEqual(len(set(self.tracks[i]["id"] for i in range(len(self.tracks)))), len(self.tracks))
        tones = pitches[:4]
        for expected, measured in zip((440, 554.37, 659.26, 880), tones):
            self.assertAlmostEqual(measured, expected, delta=expected * 0.02)

    def test_same_bytes_on_every_run(self):
        # Downloads made in an earlier run stay valid only if the files are the same.
        folder = tempfile.mkdtemp(prefix="serve-test-again-")
        try:
            again = DemoServer("--folder", folder)
            self.assertEqual(again.stop(), 0)
            for record in self.tracks:
                for path in (record["mp3"], record["flac"]):
                    with open(os.path.join(folder, path), "rb") as f:
                        self.assertEqual(f.read(), self.file(path), path)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def test_page_scripts_parse(self):
        for script in (os.path.join(PAGE, "demo.js"), os.path.join(self.folder, "tracks.js")):
            result = subprocess.run(["node", "--check", script], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))

    def test_temporary_folder_goes_away_on_sigterm(self):
        server = DemoServer()
        folder = server.lines["FOLDER"]
        self.assertTrue(os.path.isfile(os.path.join(folder, "manifest.appcache")))
        self.assertEqual(server.request("/")[0], 200)
        self.assertEqual(server.stop(), 0)
        self.assertFalse(os.path.exists(folder))

    def test_busy_port_is_a_clear_error(self):
        result = subprocess.run([sys.executable, SERVE, "--port", str(self.server.port)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("serve:", result.stderr)
        self.assertNotIn("Traceback", result.stderr)

    def test_check_mode(self):
        result = subprocess.run([sys.executable, SERVE, "--check"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("check: ok"), result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
