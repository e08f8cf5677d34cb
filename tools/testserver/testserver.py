#!/usr/bin/env python3
"""HTTP/1.1 test server for the range transfers, with injected faults.

Listens on 127.0.0.1 (an ephemeral port unless --port is given), prints
"PORT <n>" on its standard output once it accepts connections, and serves
deterministic bytes for every path. The path's segments of the form
key=value choose the resource and its faults; the last segment is a free name.

    /size=100000/seed=3/track          100000 bytes, pattern seed 3
    /size=5000/status=404/x            always 404
    /size=5000/failtimes=2/failstatus=503/x   503 twice, then normal

Keys:
  size=N        content length (default 100000)
  seed=N        byte pattern: byte(i) = p[i % 65521], p[k] = (7k + 13(k >> 8) + 31 seed) & 255
  etag=S        ETag value, sent quoted (default e<seed>-<size>); etag=none sends none
  weaketag=1    sends the ETag as a weak one (W/"...")
  lm=T          Last-Modified of epoch second T (default none)
  status=N      always answer N (301/302/303/307/308 carry a Location to the same path without it)
  location=U    the Location of such a redirect instead (a full URL, %2F for its slashes)
  early=1       a 103 Early Hints interim response before the real one
  proxyauth=U:P as a proxy (a request for an absolute http:// URL, answered
                from this server's own content): 407 unless the request has
                Proxy-Authorization for user U and password P
  failtimes=N   the first N requests of this path answer failstatus (default 503)
  norange=1     ignore Range: 200 with the whole body
  shift=N       answer a range that starts N bytes before the one asked (honest header)
  lierange=N    Content-Range claims a start N bytes after the bytes actually sent
  startotal=1   Content-Range with "/*" as the total
  nolength=1    neither Content-Length nor Content-Range; the body ends with the connection
  endless=1     with nolength=1: the body never ends (the content, or the file, repeated until the
                client goes away)
  empty=N       an empty answer: N=200 with Content-Length 0, N=204 without a body, N=close
                200 without length headers and without a body before the close
  emptytimes=K  with empty=N: only the first K requests of this path answer empty
  silent=1      read the request and answer nothing until the client goes away
  bigheader=N   one header line of about N bytes in the answer
  claimsize=N   claim the file is N bytes (Content-Length, Content-Range) but send only
                the real bytes of what is asked, then close
  truncate=N    announce the full length but send only N body bytes, then close
  truncatetimes=K  with truncate=N: only the first K requests of this path are cut short
  cuts=P        with truncate=N: request k of this path (from 0) is cut short when the k-th
                character of P is 1, whole when it is 0 or P has no k-th character
  truncatestep=S  with truncate=N: request k of this path (from 0) is cut after N + k * S bytes
  reset=1       with truncate=N: the cut ends with a reset of the connection, not a close
  throttle=B    send the body at about B bytes per second
  stall=N       send N body bytes, then send nothing until the client goes away
  stallfrom=N   send nothing at or past content byte N until the client goes away
  delay=MS      wait before answering
  file=NAME     serve the bytes of the file NAME in the folder named by the
                environment variable VELORA_TESTSERVER_ROOT (404 when missing)
  portaltimes=N the first N requests of this path answer a captive portal's
                HTML page: 200, text/html unless type= says otherwise
  type=T        the Content-Type T instead of the guessed one (%2F for '/')
  gzip=1        the whole content gzip-compressed (200, Content-Encoding:
                gzip) unless the request's Accept-Encoding is "identity"
  etagafter=N   requests of this path after the first N carry another ETag
  swapafter=N   requests of this path after the first N serve the bytes of seed + 1: the
                file replaced on the server by another of the same size (with etag=none,
                nothing in the answer tells)
  swapsize=M    with swapafter=N: the file that replaces it is M bytes long
  expireafter=N requests of this path after the first N answer 403, as an
                expired signed address does
  signed=N      answers 302 to a fresh signed address each time: this path
                with the segment signed=N replaced by sig=<k>/expireafter=N

Content-Type: guessed from the last path segment's extension by Python's own
table (none when it has no known one).

POST: the body (Content-Length) is read whole; a multipart/form-data body is
parsed with Python's email parser. With --forms DIR each POST is written to
DIR/<arrival>.form, tab-separated lines:
  form  path  content-type  defects    (defects: "ok" or the parser's defects)
  part  name  filename  content-type  hex-of-payload   ("-" when absent)
The answer is 200 with "ok\n" unless status=N or delay=MS say otherwise;
endless=1 answers 200 without a length and sends bytes until the client goes
away (at most 8 GiB).

Going away: SIGUSR1 closes the listening socket and every open connection
(new connections are refused) and prints "DOWN"; SIGUSR2 listens again on the
same port and prints "UP".

Request log: one line per answered request, tab-separated:
  connection  method  path  range  status  body-bytes-sent  arrival
with "-" for a missing Range header; lines are written as requests end,
and arrival (a count from 1) gives the order in which they came. Written to --log (flushed per line) and
served at /_log; /_reset clears the log and the failure counters.
"""

import argparse
import base64
import email.parser
import email.policy
import email.utils
import gzip
import http.server
import mimetypes
import os
import select
import signal
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse

PERIOD = 65521
CHUNK = 65536
PORTAL_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Sign in to the network</title></head>\n"
               b"<body><form method=\"post\"><input type=\"submit\" value=\"Accept\"></form></body></html>\n")

_patterns = {}
_patterns_lock = threading.Lock()


def pattern(seed):
    """Three periods of the seed's pattern, so any slice of up to two periods is one copy."""
    with _patterns_lock:
        p = _patterns.get(seed)
        if p is None:
            one = bytes(((7 * k + 13 * (k >> 8) + 31 * seed) & 0xFF) for k in range(PERIOD))
            p = one * 3
            _patterns[seed] = p
        return p


def content(seed, start, end):
    """Bytes start..end-1 of the seed's content, yielded in chunks."""
    p = pattern(seed)
    pos = start
    while pos < end:
        n = min(CHUNK, end - pos)
        k = pos % PERIOD
        yield p[k:k + n]
        pos += n


def file_content(name):
    """The bytes of a file in the served folder, or None."""
    root = os.environ.get("VELORA_TESTSERVER_ROOT", "")
    if not root or "/" in name or name in ("", ".", ".."):
        return None
    try:
        with open(os.path.join(root, name), "rb") as f:
            return f.read()
    except OSError:
        return None


def chunks(data, start, end):
    pos = start
    while pos < end:
        n = min(CHUNK, end - pos)
        yield data[pos:pos + n]
        pos += n


class Repeated:
    """A file's bytes repeated without end, sliced as bytes are."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, piece):
        size = len(self.data)
        first = piece.start % size
        return self.data[first:min(size, first + piece.stop - piece.start)]


class State:
    def __init__(self, log_path, forms_folder=""):
        self.forms_folder = forms_folder
        self.lock = threading.Lock()
        self.log_lines = []
        self.log_file = open(log_path, "a", buffering=1) if log_path else None
        self.fail_counts = {}
        self.connections = 0
        self.arrivals = 0
        self.signatures = 0
        self.open_sockets = set()

    def opened(self, sock):
        with self.lock:
            self.open_sockets.add(sock)

    def closed(self, sock):
        with self.lock:
            self.open_sockets.discard(sock)

    def drop_connections(self):
        """Ends every open connection, as a server that went away would."""
        with self.lock:
            sockets = list(self.open_sockets)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def next_arrival(self):
        with self.lock:
            self.arrivals += 1
            return self.arrivals

    def sign(self, path, lifetime):
        """A fresh signed address for path: its signed=N segment becomes sig=<k>/expireafter=N."""
        with self.lock:
            self.signatures += 1
            k = self.signatures
        return "/".join("sig=%d/expireafter=%s" % (k, lifetime) if s.startswith("signed=") else s
                        for s in path.split("/"))

    def count_request(self, path):
        with self.lock:
            n = self.fail_counts.get(path, 0)
            self.fail_counts[path] = n + 1
            return n

    def log(self, line):
        with self.lock:
            self.log_lines.append(line)
            if self.log_file:
                self.log_file.write(line + "\n")
                self.log_file.flush()

    def reset(self):
        with self.lock:
            self.log_lines = []
            self.fail_counts = {}
            if self.log_file:
                self.log_file.truncate(0)
                self.log_file.seek(0)


def parse_options(path):
    options = {}
    for segment in path.split("?", 1)[0].split("/"):
        segment = urllib.parse.unquote(segment)
        if "=" in segment:
            key, value = segment.split("=", 1)
            options[key] = value
    return options


# Python's own table only, not the machine's, so that answers do not vary.
_types = mimetypes.MimeTypes()


def guessed_type(path):
    name = urllib.parse.unquote(path.split("?", 1)[0]).rstrip("/").split("/")[-1]
    kind, _ = _types.guess_type(name, strict=False)
    return kind


def describe_form(path, content_type, body):
    """The lines of a --forms file for one POST body."""
    field = lambda v: "-" if v is None or v == "" else str(v).replace("\t", " ").replace("\n", " ")
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    parts = list(message.iter_parts()) if message.is_multipart() else []
    defects = [type(d).__name__ for d in message.defects]
    for part in parts:
        defects += [type(d).__name__ for d in part.defects]
    if not message.is_multipart():
        defects.append("NotMultipart")
    lines = ["\t".join(["form", field(path), field(content_type), ",".join(defects) or "ok"])]
    for part in parts:
        payload = part.get_payload(decode=True) or b""
        lines.append("\t".join(["part", field(part.get_param("name", header="content-disposition")),
                                field(part.get_filename()), field(part.get("Content-Type")), payload.hex()]))
    return "".join(line + "\n" for line in lines)


def parse_range(header, size):
    """(start, end exclusive) of a single byte range, 'unsatisfiable', or None to ignore it."""
    if not header or not header.startswith("bytes="):
        return None
    ranges = header[len("bytes="):].strip()
    if "," in ranges or "-" not in ranges:
        return None
    first, last = ranges.split("-", 1)
    try:
        if first == "":
            suffix = int(last)
            if suffix <= 0:
                return "unsatisfiable"
            return (max(0, size - suffix), size)
        start = int(first)
        end = int(last) + 1 if last != "" else size
    except ValueError:
        return None
    if start >= size:
        return "unsatisfiable"
    if end <= start:
        return None
    return (start, min(end, size))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "velora-testserver"
    sys_version = ""

    def setup(self):
        super().setup()
        self.connection_id = self.server.state.next_connection()
        self.server.state.opened(self.connection)

    def finish(self):
        self.server.state.closed(self.connection)
        try:
            super().finish()
        except OSError:
            pass

    def log_message(self, format, *args):
        pass  # the request log below replaces the default stderr lines

    def do_HEAD(self):
        self.answer(head=True)

    def do_GET(self):
        self.answer(head=False)

    def do_POST(self):
        self.arrival = self.server.state.next_arrival()
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length > 0 else b""
        folder = self.server.state.forms_folder
        if folder:
            text = describe_form(self.path, self.headers.get("Content-Type", ""), body)
            name = os.path.join(folder, "%d.form" % self.arrival)
            with open(name + ".tmp", "w") as out:
                out.write(text)
            os.rename(name + ".tmp", name)
        options = parse_options(self.path)
        if "delay" in options:
            time.sleep(int(options["delay"]) / 1000.0)
        if "endless" in options:
            self.send_endless()
        elif "status" in options:
            self.send_plain(int(options["status"]), body=b"fault\n")
        else:
            self.send_plain(200, body=b"ok\n")

    def send_endless(self):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        chunk = b"x" * 65536
        sent = 0
        try:
            while sent < (8 << 30):
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            pass
        self.record(200, sent)

    def record(self, status, sent):
        self.server.state.log("\t".join([
            str(self.connection_id), self.command, self.path,
            self.headers.get("Range", "-"), str(status), str(sent), str(self.arrival)]))

    def send_plain(self, status, extra=None, body=b""):
        self.send_response(status)
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.record(status, len(body) if self.command != "HEAD" else 0)

    def answer(self, head):
        self.arrival = self.server.state.next_arrival()
        if self.path == "/_log":
            with self.server.state.lock:
                body = "".join(line + "\n" for line in self.server.state.log_lines).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if not head:
                self.wfile.write(body)
            return
        if self.path == "/_reset":
            self.server.state.reset()
            self.send_response(204)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        options = parse_options(self.path)
        size = int(options.get("size", "100000"))
        seed = int(options.get("seed", "0"))
        data = None
        if "file" in options:
            data = file_content(options["file"])
            if data is None:
                self.send_plain(404, None, b"no such file\n")
                return
            size = len(data)
        real = size
        if "claimsize" in options:
            size = int(options["claimsize"])
        if "delay" in options:
            time.sleep(int(options["delay"]) / 1000.0)
        if "proxyauth" in options and self.path.startswith("http://"):
            expected = "Basic " + base64.b64encode(options["proxyauth"].encode()).decode()
            if self.headers.get("Proxy-Authorization") != expected:
                self.send_plain(407, {"Proxy-Authenticate": 'Basic realm="velora"'}, b"proxy credentials\n")
                return

        if "signed" in options:
            self.send_plain(302, {"Location": self.server.state.sign(self.path, options["signed"])}, b"moved\n")
            return
        if "expireafter" in options and self.server.state.count_request(self.path) >= int(options["expireafter"]):
            self.send_plain(403, None, b"expired\n")
            return
        if "portaltimes" in options and self.server.state.count_request("portal " + self.path) < int(options["portaltimes"]):
            kind = options.get("type", "text/html")
            self.send_plain(200, {"Content-Type": kind}, PORTAL_PAGE)
            return

        if options.get("silent"):
            self.stall()
            self.record("silent", 0)
            self.close_connection = True
            return
        if "empty" in options and ("emptytimes" not in options or self.server.state.count_request(
                "empty " + self.path) < int(options["emptytimes"])):
            close = options["empty"] == "close"
            code = 200 if close else int(options["empty"])
            self.send_response(code)
            if close:
                self.send_header("Connection", "close")
                self.close_connection = True
            elif code != 204:
                self.send_header("Content-Length", "0")
            self.end_headers()
            self.record(code, 0)
            return

        status = options.get("status")
        if status is None and "failtimes" in options:
            if self.server.state.count_request(self.path) < int(options["failtimes"]):
                status = options.get("failstatus", "503")
        if status is not None:
            code = int(status)
            extra = {}
            if code in (301, 302, 303, 307, 308):
                target = "/".join(s for s in self.path.split("/") if not s.startswith("status="))
                extra["Location"] = options.get("location", target)
            self.send_plain(code, extra, b"fault\n")
            return

        if options.get("gzip") and self.headers.get("Accept-Encoding", "").strip() != "identity":
            whole = data if data is not None else b"".join(content(seed, 0, size))
            self.send_plain(200, {"Content-Encoding": "gzip", "Content-Type": "audio/mpeg"},
                            gzip.compress(whole))
            return

        if "swapafter" in options and self.server.state.count_request("swap " + self.path) >= int(options["swapafter"]):
            seed += 1
            if "swapsize" in options:
                size = real = int(options["swapsize"])
        validators = {}
        etag = options.get("etag", "e%d-%d" % (seed, size))
        if "etagafter" in options and self.server.state.count_request("etag " + self.path) >= int(options["etagafter"]):
            etag += "-changed"
        if etag != "none":
            validators["ETag"] = ('W/"%s"' if options.get("weaketag") else '"%s"') % etag
        if "lm" in options:
            validators["Last-Modified"] = email.utils.formatdate(int(options["lm"]), usegmt=True)

        wanted = None if options.get("norange") else parse_range(self.headers.get("Range"), size)
        if wanted == "unsatisfiable":
            extra = dict(validators)
            extra["Content-Range"] = "bytes */%d" % size
            self.send_plain(416, extra)
            return

        if wanted is None:
            code, start, end = 200, 0, size
        else:
            code, (start, end) = 206, wanted
            if "shift" in options:
                start = max(0, start - int(options["shift"]))

        headers = dict(validators)
        close_after = False
        if options.get("nolength"):
            close_after = True
            headers["Connection"] = "close"
        else:
            headers["Content-Length"] = str(end - start)
            if code == 206:
                claimed = start + int(options.get("lierange", "0"))
                total = "*" if options.get("startotal") else str(size)
                headers["Content-Range"] = "bytes %d-%d/%s" % (claimed, claimed + (end - start) - 1, total)
        headers["Accept-Ranges"] = "bytes"
        if "bigheader" in options:
            headers["X-Filler"] = "x" * int(options["bigheader"])
        if "type" in options:
            headers["Content-Type"] = options["type"]
        elif guessed_type(self.path):
            headers["Content-Type"] = guessed_type(self.path)

        if options.get("early"):
            self.wfile.write(b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n")
        self.send_response(code)
        for key, value in headers.items():
            self.send_header(key, value)
        self.end_headers()
        if head:
            self.record(code, 0)
            return

        limit = end - start
        if real != size:
            limit = max(0, min(end, real) - start)
            close_after = True
        cut = self.cut_length(options)
        if cut is not None:
            limit = min(limit, cut)
            close_after = True
        stall_at = int(options["stall"]) if "stall" in options else None
        if "stallfrom" in options:
            cut = max(0, int(options["stallfrom"]) - start)
            stall_at = cut if stall_at is None else min(stall_at, cut)
        if stall_at is not None:
            limit = min(limit, stall_at)
        if options.get("nolength") and options.get("endless"):
            limit = 1 << 62
            if data is not None:
                data = Repeated(data)
        sent = self.send_body(seed, start, start + limit, int(options.get("throttle", "0")), data)
        if sent is None:
            self.close_connection = True
            return
        if stall_at is not None:
            self.stall()
            close_after = True
        self.record(code, sent)
        if close_after:
            self.close_connection = True
        if cut is not None and options.get("reset"):
            self.reset_connection()

    def cut_length(self, options):
        """Where this answer is cut short (truncate=, truncatetimes=, cuts=, truncatestep=), or None."""
        if "truncate" not in options:
            return None
        k = self.server.state.count_request("truncate " + self.path)
        if "truncatetimes" in options and k >= int(options["truncatetimes"]):
            return None
        cuts = options.get("cuts")
        if cuts is not None and (k >= len(cuts) or cuts[k] != "1"):
            return None
        return int(options["truncate"]) + k * int(options.get("truncatestep", "0"))

    def reset_connection(self):
        """Ends the connection with a reset (RST), as a crashed peer or a middlebox does."""
        try:
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        except OSError:
            pass

    def send_body(self, seed, start, end, throttle, data=None):
        """Sends the bytes; None (after logging) when the client went away."""
        sent = 0
        pieces = content(seed, start, end) if data is None else chunks(data, start, end)
        try:
            if throttle > 0:
                step = max(1, min(16384, throttle // 20))
                for piece in pieces:
                    for i in range(0, len(piece), step):
                        part = piece[i:i + step]
                        self.wfile.write(part)
                        sent += len(part)
                        time.sleep(len(part) / float(throttle))
            else:
                for piece in pieces:
                    self.wfile.write(piece)
                    sent += len(piece)
        except (BrokenPipeError, ConnectionResetError, OSError):
            self.record("aborted", sent)
            return None
        return sent

    def stall(self):
        """Sends nothing more until the client closes the connection (at most a minute)."""
        deadline = time.time() + 60
        while time.time() < deadline:
            readable, _, _ = select.select([self.connection], [], [], 0.1)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # As a real server's: a queue of downloads that retry in the same second
    # connects dozens of times at once, and a connection past a backlog of 5
    # waits for the kernel to retry it, seconds later.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A connection cut by the client, or by the server going away, is
        # part of the tests; anything else is reported.
        if isinstance(sys.exc_info()[1], OSError):
            return
        super().handle_error(request, client_address)


def listen(port, state):
    """A server on the port, serving on a thread of its own. The port may still be
    held for a moment by a connection that used it as its own end: tried again."""
    deadline = time.time() + 30
    while True:
        try:
            server = Server(("127.0.0.1", port), Handler)
            break
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.05)
    server.state = state
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", default="")
    parser.add_argument("--forms", default="")
    args = parser.parse_args()
    # The serving threads leave the going-away signals to this one.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGUSR2})
    state = State(args.log, args.forms)
    server = listen(args.port, state)
    port = server.server_address[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    try:
        while True:
            received = signal.sigwait({signal.SIGUSR1, signal.SIGUSR2})
            if received == signal.SIGUSR1 and server is not None:
                server.shutdown()
                server.server_close()
                server = None
                state.drop_connections()
                sys.stdout.write("DOWN\n")
            elif received == signal.SIGUSR2 and server is None:
                server = listen(port, state)
                sys.stdout.write("UP\n")
            sys.stdout.flush()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
