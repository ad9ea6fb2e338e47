"""A `zel serve` process for the tests: started on a free loopback port, stopped with SIGTERM."""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse

ZEL = os.environ.get("ZEL_CLI", "")
ZEL_SIM = os.environ.get("ZEL_SIM", "")


class Server:
    """zel serve on 127.0.0.1 with a fresh data folder. `args` go after `serve`, `pre` before."""

    def __init__(self, args=(), pre=(), data=None):
        self.tmp = tempfile.mkdtemp(prefix="zel-serve-test-")
        self.data = data or os.path.join(self.tmp, "data")
        cmd = [ZEL, *pre, "serve", "--listen", "127.0.0.1:0", "--data", self.data, *args]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url.startswith("http://"):
            self.proc.kill()
            raise RuntimeError("zel serve did not start: " + self.proc.stderr.read())
        parts = urllib.parse.urlsplit(self.url)
        self.host = parts.netloc
        self.port = parts.port
        self.token = urllib.parse.parse_qs(parts.fragment).get("token", [""])[0]
        self.err = ""

    def request(self, method, path, body=None, headers=None, origin=True, token=True):
        """(status, parsed JSON or text, headers). Sends this server's Origin and token."""
        h = {}
        if origin:
            h["Origin"] = "http://" + self.host
        if token and self.token:
            h["Authorization"] = "Bearer " + self.token
        if body is not None:
            h["Content-Type"] = "application/json"
            body = body if isinstance(body, (bytes, str)) else json.dumps(body)
        h.update(headers or {})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=h)
            res = conn.getresponse()
            raw = res.read().decode()
            ctype = res.getheader("Content-Type", "")
            data = json.loads(raw) if "json" in ctype and raw else raw
            return res.status, data, dict(res.getheaders())
        finally:
            conn.close()

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body=None, **kw):
        return self.request("POST", path, body if body is not None else {}, **kw)

    def stop(self, sig=signal.SIGTERM):
        """Stops the server; returns its exit status. Its stderr is kept in self.err."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            _, self.err = self.proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, self.err = self.proc.communicate()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return self.proc.returncode


class EventStream:
    """The server's event stream, read on a thread; events are (name, data) in arrival order."""

    def __init__(self, server, query="", on_event=None):
        self.on_event = on_event  # called on the reading thread as each event arrives
        self.conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        headers = {"Accept": "text/event-stream"}
        path = "/api/events" + query
        if server.token and "token=" not in query:
            headers["Authorization"] = "Bearer " + server.token
        self.conn.request("GET", path, headers=headers)
        self.res = self.conn.getresponse()
        self.sock = self.conn.sock
        self.status = self.res.status
        self.events = []
        self.cond = threading.Condition()
        self.closed = False
        if self.status == 200:
            threading.Thread(target=self._read, daemon=True).start()
        else:
            self.body = self.res.read()
            self.conn.close()

    def _read(self):
        name, data = "message", []
        try:
            while True:
                line = self.res.readline()
                if not line:
                    break
                line = line.decode().rstrip("\n")
                if line == "":
                    if data:
                        if self.on_event:
                            self.on_event(name, json.loads("\n".join(data)))
                        with self.cond:
                            self.events.append((name, json.loads("\n".join(data))))
                            self.cond.notify_all()
                    name, data = "message", []
                elif line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
        except (OSError, ValueError, AttributeError):
            pass  # the stream was closed (AttributeError: by close() while reading)
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def mark(self):
        """The number of events so far, for wait_for's `since`."""
        with self.cond:
            return len(self.events)

    def wait_for(self, pred, timeout=30, since=0):
        """The first event (name, data) after the first `since` for which pred holds; raises on
        time-out."""
        end = time.monotonic() + timeout
        seen = since
        with self.cond:
            while True:
                for ev in self.events[seen:]:
                    if pred(*ev):
                        return ev
                seen = len(self.events)
                left = end - time.monotonic()
                if left <= 0 or self.closed:
                    raise TimeoutError("event not seen; got %s" % [e[0] for e in self.events])
                self.cond.wait(left)

    def close(self):
        try:
            # The connection goes away as it does when a browser tab closes.
            self.sock.shutdown(socket.SHUT_RDWR)
        except (AttributeError, OSError):
            pass
        self.conn.close()
