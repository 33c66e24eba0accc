#!/usr/bin/env python3
"""`vexel view` in headless Chromium against the simulated camera: the page loads, frames
arrive, the depth view shows the scene's colours and the 3-D view its points, the page keeps up
with a 30 fps camera, and a new integration time changes the amplitude image.

Exit status 77 (skipped) says why when the browser cannot run here."""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402

SKIP = 77


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(SKIP)


def hue_family(rgb):
    r, g, b = rgb
    if max(rgb) < 40:
        return "black"
    if r > 150 and g < 110 and b < 80:
        return "red"
    if r > 150 and g > 150 and b < 100:
        return "yellow"
    if g > 150 and r < 140 and b < 160:
        return "green"
    if b > 150 and r < 100:
        return "blue"
    return "other"


def shares(rows, step=2):
    counts, total = {}, 0
    for row in rows[::step]:
        for px in row[::step]:
            f = hue_family(px)
            counts[f] = counts.get(f, 0) + 1
            total += 1
    return {k: v / total for k, v in counts.items()}


def rect(b, element_id):
    r = b.eval("(() => { const r = document.getElementById('%s').getBoundingClientRect();"
               " return {x: r.x, y: r.y, width: r.width, height: r.height}; })()" % element_id)
    return {k: float(int(v)) for k, v in r.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("--vexel", required=True)
    ap.add_argument("--screenshot", help="where to keep the screenshot")
    ap.add_argument("--min-fps", type=float, default=25.0, help="displayed rate the page must keep; 0: not checked")
    a = ap.parse_args()

    exe = cdp.find_chromium()
    if not exe:
        skip("no Chromium installed (scripts/install-deps.sh installs Debian's chromium)")
    try:
        probe = subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", "about:blank"],
                               capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        skip("Chromium did not start within a minute")
    if probe.returncode != 0:
        skip("Chromium cannot run here: " + probe.stderr.decode(errors="replace").strip()[-300:])

    view = subprocess.Popen([a.sim, "--fps", "30", "--", a.vexel, "view", "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    browser = None
    failures = []

    def expect(ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            failures.append(what)

    try:
        line = view.stdout.readline()
        if not line.startswith("vexel view: http://127.0.0.1:"):
            view.kill()
            print("vexel view did not start: " + line + view.stderr.read())
            return 1
        url = line.split(": ", 1)[1].strip()
        browser = cdp.Browser(exe)
        browser.open(url)
        expect(browser.wait_for("typeof vexelStats === 'object' && vexelStats.connected", 20), "page loads and connects")
        expect(browser.wait_for("vexelStats.drawn >= 3", 120), "frames arrive and are drawn")
        expect(browser.eval("vexelStats.webgl"), "WebGL available (software rendering)")
        time.sleep(2)

        # Displayed rate over five seconds of a 30 fps camera.
        d0, t0 = browser.eval("vexelStats.drawn"), time.time()
        time.sleep(5)
        d1, t1 = browser.eval("vexelStats.drawn"), time.time()
        rate = (d1 - d0) / (t1 - t0)
        s = browser.eval("({skipped: vexelStats.skipped, drawMs: vexelStats.drawMs, received: vexelStats.received})")
        load = os.getloadavg()[0]
        cores = os.cpu_count() or 1
        print("displayed %.1f fps; page drew a frame in %.1f ms; %d frames skipped of %d; load %.1f on %d cores"
              % (rate, s["drawMs"], s["skipped"], s["received"] + s["skipped"], load, cores))
        if a.min_fps > 0:
            if load > cores:
                print("SKIPPED rate check: the machine is oversubscribed (load %.1f on %d cores); a rate "
                      "measured now says nothing about the viewer" % (load, cores))
            else:
                expect(rate >= a.min_fps, "displayed rate %.1f >= %.1f fps" % (rate, a.min_fps))

        # Screenshot: the depth view in the colour map's hues, points in the 3-D view.
        shot = browser.screenshot()
        if a.screenshot:
            with open(a.screenshot, "wb") as f:
                f.write(shot)
        _, _, depth = cdp.png_pixels(browser.screenshot(rect(browser, "depth")))
        sh = shares(depth)
        print("depth view colours: " + ", ".join("%s %.0f%%" % (k, 100 * v) for k, v in sorted(sh.items())))
        expect(sum(1 for k in ("red", "yellow", "green", "blue") if sh.get(k, 0) > 0.03) >= 3,
               "the depth view shows the scene near to far (at least three colour-map hues)")
        expect(sh.get("black", 0) < 0.05, "few depth pixels without a measurement")
        _, _, cloud = cdp.png_pixels(browser.screenshot(rect(browser, "cloud")))
        lit = 1 - shares(cloud).get("black", 0)
        print("3-D view: %.0f%% of the area covered by points; %d points" % (100 * lit, browser.eval("vexelStats.points")))
        expect(lit > 0.10, "the 3-D view shows points")

        # The cloud's level of detail: "all" draws every measured pixel, "1 in 4" every 2nd row and
        # column of them; the count is the page's own, so a stride or compaction slip shows here.
        def points(mode):
            browser.eval("(() => { const e = document.getElementById('lod'); e.value = '%s';"
                         " e.dispatchEvent(new Event('change')); })()" % mode)
            browser.wait_for("vexelStats.cloudStep === %d" % (1 if mode == "all" else 2), 10)
            return browser.eval("vexelStats.points"), browser.eval("vexelStats.validPct")
        (all_pts, valid), (quarter, _) = points("all"), points("half")
        points("auto")
        print("points drawn: %d all (%.1f %% of pixels valid), %d at 1 in 4" % (all_pts, valid, quarter))
        expect(abs(all_pts - 76800 * valid / 100) < 0.02 * 76800, "all measured pixels are points")
        expect(3.6 * quarter < all_pts < 4.4 * quarter, "1 in 4 draws a quarter of them")

        # Integration time through the page's own control: the amplitude follows it.
        before = browser.eval("vexelStats.state.integration.value")
        amp0 = browser.eval("vexelStats.meanAmp")
        target = min(before * 2, 4000)
        # On a busy machine the page may draw a frame a second, and the server drops a socket its
        # page has not read for ten seconds (the page then reconnects): set it again until taken.
        taken = False
        for _ in range(6):
            browser.eval("(() => { const e = document.getElementById('intg'); e.value = %d;"
                         " e.dispatchEvent(new Event('change')); })()" % target)
            if browser.wait_for("vexelStats.state.integration.value === %d" % target, 10):
                taken = True
                break
        print("page reconnected %d times" % browser.eval("vexelStats.reconnects"))
        expect(taken, "the camera takes integration time %d us" % target)
        browser.wait_for("vexelStats.meanAmp > %f" % (amp0 * 1.5), 30)
        amp1 = browser.eval("vexelStats.meanAmp")
        print("mean amplitude %.1f at %d us, %.1f at %d us" % (amp0, before, amp1, target))
        expect(amp1 > amp0 * 1.5, "a longer integration time brightens the amplitude image")
        browser.eval("(() => { const e = document.getElementById('intg'); e.value = 99999;"
                     " e.dispatchEvent(new Event('change')); })()")
        expect(browser.eval("vexelStats.state.integration.value") == target, "an out-of-range value is not sent")
    finally:
        if browser:
            browser.close()
        view.send_signal(2)
        try:
            out, err = view.communicate(timeout=20)
            print("vexel view: " + out.strip() + " / rc %s / err: %s" % (view.returncode, err.strip()[-1500:]))
            if view.returncode != 130:  # Ctrl-C: the summary, then the status of an interrupted program
                failures.append("vexel view exit status %d: %s" % (view.returncode, err.strip()[-500:]))
        except subprocess.TimeoutExpired:
            view.kill()
            failures.append("vexel view did not end on Ctrl-C")
    if failures:
        print("%d failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
