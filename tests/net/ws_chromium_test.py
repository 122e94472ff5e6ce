"""A real browser against the transport: headless Chromium loads a small page whose
script opens `new WebSocket(...)` to the ws-echo example, exchanges binary and text
messages, and reports the outcome by requesting /result?... from the page's server.
With --tls, ws-echo serves wss with a self-signed certificate made for the run, which
the browser is told to accept (--ignore-certificate-errors).

Usage: /usr/bin/python3 ws_chromium_test.py <path to ws-echo> [--tls]
"""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

CHROMIUM = "/usr/bin/chromium"
TIMEOUT = 90

PAGE = """<!doctype html><html><body><pre id="out">running</pre><script>
const report = (text) => {
  document.getElementById('out').textContent = text;
  fetch('/result?' + encodeURIComponent(text)).catch(() => {});
};
const sizes = [0, 1, 125, 126, 200, 65535, 65536, 70000];
const ws = new WebSocket('%(scheme)s://127.0.0.1:%(port)d/game');
ws.binaryType = 'arraybuffer';
let index = 0;
let expected = null;
const sendNext = () => {
  if (index === sizes.length) { ws.send('text ✓'); return; }
  const data = new Uint8Array(sizes[index]);
  for (let i = 0; i < data.length; i++) data[i] = (i * 31 + index) & 255;
  expected = data;
  ws.send(data);
};
ws.onopen = sendNext;
ws.onerror = () => report('FAIL error event');
ws.onclose = (e) => { if (index <= sizes.length) report('FAIL closed early ' + e.code); };
ws.onmessage = (e) => {
  if (index === sizes.length) {
    if (e.data !== 'text ✓') { report('FAIL text ' + e.data); return; }
    index++;
    report('PASS ' + sizes.length + ' binary + 1 text');
    ws.close(1000);
    return;
  }
  const got = new Uint8Array(e.data);
  if (got.length !== expected.length) { report('FAIL size ' + got.length + ' != ' + expected.length); return; }
  for (let i = 0; i < got.length; i++) {
    if (got[i] !== expected[i]) { report('FAIL byte ' + i + ' of ' + got.length); return; }
  }
  index++;
  sendNext();
};
</script></body></html>"""


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    tls = "--tls" in sys.argv[2:]
    profile = tempfile.mkdtemp(prefix="gw-chromium-")
    echo_args = [sys.argv[1], "0", "--threads", "2"]
    browser_args = []
    if tls:
        cert, key = os.path.join(profile, "cert.pem"), os.path.join(profile, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        echo_args += ["--tls-cert", cert, "--tls-key", key]
        browser_args = ["--ignore-certificate-errors"]
    echo = subprocess.Popen(echo_args, stdout=subprocess.PIPE, text=True)
    line = echo.stdout.readline()
    if not line.startswith("listening on "):
        echo.kill()
        sys.exit("ws-echo did not start: %r" % line)
    ws_port = int(line.split()[2])

    result = {}
    done = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path.startswith("/result?"):
                result["text"] = urllib.parse.unquote(self.path[len("/result?"):])
                done.set()
                body = b"ok"
            else:
                body = (PAGE % {"port": ws_port, "scheme": "wss" if tls else "ws"}).encode("utf-8")
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    # A file, not a pipe: a chatty browser must never block on its own log.
    log = open(os.path.join(profile, "chromium.log"), "w+b")
    browser = subprocess.Popen(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile, "--remote-debugging-port=0",
         *browser_args,
         "http://127.0.0.1:%d/page.html" % httpd.server_address[1]],
        stdout=subprocess.DEVNULL, stderr=log)
    try:
        finished = done.wait(TIMEOUT)
    finally:
        browser.terminate()
        try:
            browser.wait(timeout=20)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
        httpd.shutdown()
        echo.terminate()
        echo.wait(timeout=20)
        echo.stdout.close()
        log.seek(0)
        browser_log = log.read().decode("utf-8", "replace")
        log.close()
        shutil.rmtree(profile, ignore_errors=True)
    if not finished:
        sys.stderr.write(browser_log[-3000:])
        sys.exit("FAIL: no result from the page within %d s" % TIMEOUT)
    print(result["text"])
    if not result["text"].startswith("PASS"):
        sys.exit(1)
    if echo.returncode != 0:
        sys.exit("FAIL: ws-echo exited with %d" % echo.returncode)


if __name__ == "__main__":
    main()
