"""A small Chrome DevTools Protocol client over --remote-debugging-pipe (no extra packages):
starts headless Chromium, opens one page, evaluates JavaScript and takes screenshots."""
import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import zlib


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    def __init__(self, exe, width=1400, height=1100):
        self.profile = tempfile.mkdtemp(prefix="vexel-chromium-")
        r_cmd, w_cmd = os.pipe()   # commands to the browser (its fd 3)
        r_ev, w_ev = os.pipe()     # replies and events (its fd 4)
        args = [exe, "--headless", "--remote-debugging-pipe", "--no-first-run", "--no-default-browser-check",
                "--disable-gpu", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--disable-backgrounding-occluded-windows", "--user-data-dir=" + self.profile,
                "--window-size=%d,%d" % (width, height), "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses its sandbox as root
        def child():
            os.dup2(r_cmd, 3)
            os.dup2(w_ev, 4)
        # The child gets the pipes as its descriptors 3 and 4; the descriptor cleanup of
        # subprocess runs after preexec_fn and would close them, hence close_fds=False.
        self.proc = subprocess.Popen(args, preexec_fn=child, close_fds=False,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(r_cmd)
        os.close(w_ev)
        self.out = os.fdopen(w_cmd, "wb", buffering=0)
        self.inp = os.fdopen(r_ev, "rb", buffering=0)
        self.buf = b""
        self.next_id = 0
        self.session = None

    def _read_message(self):
        while b"\0" not in self.buf:
            chunk = self.inp.read(1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed the DevTools pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, session=True, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if session and self.session:
            msg["sessionId"] = self.session
        self.out.write(json.dumps(msg).encode() + b"\0")
        while True:
            reply = self._read_message()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})

    def open(self, url):
        target = self.call("Target.createTarget", session=False, url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", session=False, targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.call("Page.navigate", url=url)

    def eval(self, expr):
        r = self.call("Runtime.evaluate", expression=expr, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError("page error: %s" % r["exceptionDetails"])
        return r["result"].get("value")

    def wait_for(self, expr, timeout):
        end = time.time() + timeout
        while time.time() < end:
            v = self.eval(expr)
            if v:
                return v
            time.sleep(0.1)
        return None

    def screenshot(self, clip=None):
        params = {"format": "png"}
        if clip:
            params["clip"] = dict(clip, scale=1)
        return base64.b64decode(self.call("Page.captureScreenshot", **params)["data"])

    def close(self):
        try:
            self.call("Browser.close", session=False)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.profile, ignore_errors=True)


def png_pixels(data):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG without interlace."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, w = 8, b"", 0
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = int.from_bytes(body[0:4], "big"), int.from_bytes(body[4:8], "big"), body[8], body[9], body[10], body[11], body[12]
            assert depth == 8 and ctype in (2, 6) and interlace == 0
            bpp = 3 if ctype == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw = zlib.decompress(idat)
    stride = w * bpp
    rows, prev = [], bytearray(stride)
    for y in range(h):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return w, h, rows
