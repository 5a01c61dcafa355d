#!/usr/bin/env python3
"""End-to-end figures of the real program against the local stand-ins.

Runs kelvane under Xvfb with a private PulseAudio null sink, the recognition stand-in and the
chat stand-in (with --timing), plays tone bursts as questions, timestamps every log line of
the program as it arrives, and prints:
  - start-up: process start to the window shown ("Application initialized successfully"),
  - trigger, with the early request off: the silence detection to the request reaching the
    chat stand-in, and the capture poll period (100 quiet buffers make the threshold),
  - delivery: a content delta leaving the stand-in to the program handling it,
  - resident memory listening before the first question and after N questions and answers,
    in all and the program's own (anonymous: heap and stacks, no libraries or fonts),
  - CPU while listening to silence.

usage: tools/perf/e2e_figures.py BIN_DIR [--questions N] [--idle-seconds S] [--starts K]
       tools/perf/e2e_figures.py BIN_DIR --first-text [--questions N]
  --first-text: with the chat stand-in holding back its first token for 800 ms, question end
  (last loud buffer) to the first answer text in the window, early request off and then on,
  as the program's own "[Timing]" lines report it, the early requests sent per question, and
  the trigger in each mode: the pause's detection to the answer on its way (a request sent
  with the early request off; the early request adopted, or a fresh one, with it on).
  --pause-inside MS: every question is two bursts with a pause of MS between (speech that
  resumes): the early requests that pause costs, and that each question is still asked whole.
  --settle-ms MS: quiet after which the recognition stand-in shows the whole sentence (200).
  --tail-ms MS: every question ends in a quiet tail this long (-45 dBFS), which the level gate
  still takes for sound and the recogniser does not (a voice trailing off): first text is then
  also reported from the end of the loud part as played.
"""
import argparse, math, os, re, shutil, signal, statistics, struct, subprocess, sys, tempfile
import threading, time, wave

parser = argparse.ArgumentParser()
parser.add_argument("bin")
parser.add_argument("--questions", type=int, default=100)
parser.add_argument("--idle-seconds", type=int, default=30)
parser.add_argument("--starts", type=int, default=5)
parser.add_argument("--first-text", action="store_true")
parser.add_argument("--pause-inside", type=int, default=0,
                    help="with --first-text: a pause of this many ms inside every question")
parser.add_argument("--tail-ms", type=int, default=0,
                    help="with --first-text: a quiet tail of this many ms after every question")
parser.add_argument("--settle-ms", type=int, default=200,
                    help="quiet after which the recognition stand-in shows the whole sentence")
args = parser.parse_args()
BIN = os.path.abspath(args.bin)
work = tempfile.mkdtemp(prefix="kelvane-perf-")
procs = []


def spawn(cmd, env=None, **kw):
    p = subprocess.Popen(cmd, env=env, **kw)
    procs.append(p)
    return p


def cleanup(*_):
    for p in reversed(procs):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
    shutil.rmtree(work, ignore_errors=True)


signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


class Lines:
    """Collects a process's stdout lines with their arrival time."""

    def __init__(self, pipe):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        for raw in iter(pipe.readline, b""):
            now = time.time()
            with self.cond:
                self.lines.append((now, raw.decode("utf-8", "replace").rstrip("\n")))
                self.cond.notify_all()

    def wait_for(self, needle, count=1, timeout=60):
        deadline = time.time() + timeout
        with self.cond:
            while sum(needle in l for _, l in self.lines) < count:
                left = deadline - time.time()
                if left <= 0:
                    raise TimeoutError(f"waiting for {needle!r} x{count}")
                self.cond.wait(left)
            return [t for t, l in self.lines if needle in l][count - 1]

    def matching(self, needle):
        with self.cond:
            return [(t, l) for t, l in self.lines if needle in l]


def port_of(lines):
    lines.wait_for("Listening on port", timeout=20)
    return int(lines.matching("Listening on port")[0][1].split()[-1])


def rss_kb(pid, field="VmRSS"):
    """Resident memory; RssAnon is the program's own (heap, stacks), the rest is mapped files
    (libraries, fonts) and shared memory with the X server."""
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bursts_wav(path, count, tone_s=0.4, gap_s=1.6, rate=48000, pause_inside_s=0.0, tail_s=0.0):
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        tone = b"".join(struct.pack("<hh", v, v) for v in (
            int(16000 * math.sin(2 * math.pi * 440 * i / rate)) for i in range(int(tone_s * rate))))
        gap = b"\0\0\0\0" * int(gap_s * rate)
        pause = b"\0\0\0\0" * int(pause_inside_s * rate)
        tail = b"".join(struct.pack("<hh", v, v) for v in (
            int(260 * math.sin(2 * math.pi * 440 * i / rate)) for i in range(int(tail_s * rate))))
        for _ in range(count):
            w.writeframes((tone + pause + tone if pause else tone) + tail + gap)


try:
    env = dict(os.environ)
    pa = os.path.join(work, "pulse")
    for sub in ("home", "run", "config"):
        os.makedirs(os.path.join(pa, sub))
    env.update(HOME=f"{pa}/home", XDG_RUNTIME_DIR=f"{pa}/run", XDG_CONFIG_HOME=f"{pa}/config",
               PULSE_SERVER=f"unix:{pa}/run/native")
    spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
           f"--load=module-native-protocol-unix auth-anonymous=1 socket={pa}/run/native",
           "--load=module-null-sink sink_name=perf rate=48000 channels=2 format=float32le "
           "norewinds=1"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
            break
        time.sleep(0.1)
    subprocess.run(["pactl", "set-default-sink", "perf"], env=env, check=True)

    script = os.path.join(work, "script.txt")
    with open(script, "w") as f:
        # The stand-in's script goes on across sessions: enough lines for two of them.
        for i in range(2 * args.questions):
            f.write(f"第{i % args.questions + 1}个问题是什么\n")
    asr = spawn([f"{BIN}/kelvane-standin-asr", "--script", script, "--settle-ms",
                 str(args.settle_ms)], stdout=subprocess.PIPE)
    asr_lines = Lines(asr.stdout)
    chat = spawn([f"{BIN}/kelvane-standin-chat", "--timing"], stdout=subprocess.PIPE)
    chat_lines = Lines(chat.stdout)
    env["KELVANE_ASR_URL"] = f"ws://127.0.0.1:{port_of(asr_lines)}/api/v3/sauc/bigmodel"
    env["KELVANE_LLM_URL"] = f"http://127.0.0.1:{port_of(chat_lines)}/v1/chat/completions"
    env["KELVANE_LLM_API_KEY"] = "sk-perf"

    xvfb = spawn(["Xvfb", "-displayfd", "1", "-screen", "0", "1400x900x24", "-nolisten", "tcp"],
                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    env["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()
    env["QT_QPA_PLATFORM"] = "xcb"
    env["XDG_CONFIG_HOME"] = os.path.join(work, "config")  # no saved settings of the user's

    def first_text_ms(early):
        """Question end to first answer text, per question, from the program's own log."""
        slow = spawn([f"{BIN}/kelvane-standin-chat", "--first-delay", "800"],
                     stdout=subprocess.PIPE)
        run_env = dict(env, KELVANE_EARLY_REQUEST="true" if early else "false",
                       KELVANE_LLM_URL=f"http://127.0.0.1:{port_of(Lines(slow.stdout))}"
                                       "/v1/chat/completions")
        k = spawn([f"{BIN}/kelvane"], env=run_env, stdout=subprocess.PIPE,
                  stderr=subprocess.DEVNULL)
        lines = Lines(k.stdout)
        lines.wait_for("Application initialized successfully")
        win = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class",
                              "kelvane"], env=env, capture_output=True, text=True).stdout.split()[0]
        subprocess.run(["xdotool", "windowmove", win, "0", "0"], env=env)
        time.sleep(0.5)
        subprocess.run(["xdotool", "mousemove", "--window", win, "460", "28", "click", "1"],
                       env=env)
        lines.wait_for("[ASRClient] Streaming started automatically", timeout=20)
        wav = os.path.join(work, "slow.wav")
        bursts_wav(wav, args.questions, gap_s=3.5, pause_inside_s=args.pause_inside / 1000,
                   tail_s=args.tail_ms / 1000)
        subprocess.run(["paplay", "--device=perf", wav], env=env, check=True)
        lines.wait_for("[Timing] Q", args.questions, timeout=120)
        asked = [l.split("新问题触发: ")[1] for _, l in lines.matching("新问题触发: ")]
        figures = [int(re.search(r"first text (-?\d+) ms", l).group(1))
                   for _, l in lines.matching("[Timing] Q")]
        # From the end of the loud part as captured: each question's first loud buffer (the
        # silence counter reset) plus the tone's length, to its first answer text.
        starts = [t for t, _ in lines.matching("[Silence] Reset silent counter")]
        played = []
        for _, l in lines.matching("[Timing] Q"):
            m = re.search(r"first text (-?\d+) ms.*speech ended at (\d+)", l)
            shown = (int(m.group(2)) + int(m.group(1))) / 1000
            start = max((t for t in starts if t < shown - 0.4), default=None)
            if start is not None:
                played.append(round((shown - start - 0.4) * 1000))
        early_sent = len(lines.matching("[Application] Early request sent: "))
        # Where each early request left, after the end of the speech as the program placed it.
        early_after = [int(re.search(r"Early point: (-?\d+) ms", l).group(1))
                       for _, l in lines.matching("[Application] Early point: ")]
        # The trigger: the pause's detection to the question's answer being on its way, the
        # early request adopted or a request sent (whichever the program did).
        on_its_way = sorted(t for t, l in lines.lines
                            if "Early request adopted for question" in l or "📤 问题ID=" in l)
        detected = [t for t, _ in lines.matching("ms silence, checking if should trigger LLM")]
        trigger = []
        for t, _ in lines.matching("[Silence] ✅ Triggering LLM"):
            d = max(x for x in detected if x <= t + 0.001)
            after = [x for x in on_its_way if x >= d]
            if after:
                trigger.append((after[0] - d) * 1000)
        k.terminate()
        k.wait(20)
        slow.terminate()
        slow.wait(10)
        return figures, asked, early_sent, trigger, early_after, played

    if args.first_text:
        results = {}
        for early in (False, True):
            figures, asked, early_sent, trigger, early_after, played = first_text_ms(early)
            results[early] = asked
            print(f"question end to first answer text, early request {'on' if early else 'off'}"
                  f" (first token held 800 ms, threshold 1000 ms, {len(figures)} questions"
                  f"{f', a {args.pause_inside} ms pause inside each' if args.pause_inside else ''}"
                  f"): median {statistics.median(figures)} ms, max {max(figures)} ms"
                  + (f"; early requests per question {early_sent / len(asked):.2f}" if early else ""))
            print(f"  detection to the answer on its way ({'adopted' if early else 'request sent'}):"
                  f" median {statistics.median(trigger):.1f} ms, max {max(trigger):.1f} ms")
            if args.tail_ms and played and not args.pause_inside:
                print(f"  from the end of the loud part as played ({args.tail_ms} ms quiet tail): "
                      f"median {statistics.median(played)} ms, max {max(played)} ms")
            if early and early_after:
                print(f"  early request after the end of the speech: median "
                      f"{statistics.median(early_after)} ms, range {min(early_after)}-"
                      f"{max(early_after)} ms (the budget: threshold - first token - 50 = 150 ms)")
        print("same questions in the same order with the early request on and off: "
              f"{results[False] == results[True]}")
        sys.exit(0)

    # Start-up, several times.
    startups = []
    for _ in range(args.starts):
        t0 = time.time()
        k = spawn([f"{BIN}/kelvane"], env=env, stdout=subprocess.PIPE,
                  stderr=subprocess.DEVNULL)
        lines = Lines(k.stdout)
        startups.append((lines.wait_for("Application initialized successfully") - t0) * 1000)
        k.terminate()
        k.wait(10)

    # The session, the early request off: the request measured is the one the pause sends (with
    # it on, the request at the stand-in is the early one, sent before the pause ends).
    k = spawn([f"{BIN}/kelvane"], env=dict(env, KELVANE_EARLY_REQUEST="false"),
              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = Lines(k.stdout)
    lines.wait_for("Application initialized successfully")
    win = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", "kelvane"],
                         env=env, capture_output=True, text=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowmove", win, "0", "0"], env=env)
    time.sleep(0.5)
    subprocess.run(["xdotool", "mousemove", "--window", win, "460", "28", "click", "1"], env=env)
    lines.wait_for("[ASRClient] Streaming started automatically", timeout=20)
    time.sleep(1)
    rss_listening = rss_kb(k.pid)
    anon_listening = rss_kb(k.pid, "RssAnon")

    wav = os.path.join(work, "bursts.wav")
    bursts_wav(wav, args.questions)
    subprocess.run(["paplay", "--device=perf", wav], env=env, check=True)
    lines.wait_for("新问题触发", args.questions, timeout=60)
    lines.wait_for(" stream completed", args.questions, timeout=120)
    time.sleep(1)
    rss_after = rss_kb(k.pid)
    anon_after = rss_kb(k.pid, "RssAnon")

    # Idle: listening, nothing plays.
    c0, t0 = cpu_seconds(k.pid), time.time()
    time.sleep(args.idle_seconds)
    idle_cpu = (cpu_seconds(k.pid) - c0) / (time.time() - t0) * 100
    # The floor: parec recording the same monitor for as long, and its sound server meanwhile.
    server = int(subprocess.run(["pgrep", "-n", "-f", "pulseaudio -n"], capture_output=True,
                                text=True).stdout.split()[0])
    parec = spawn(["parec", "--device=perf.monitor", "--format=float32le", "--rate=48000",
                   "--channels=2"], env=env, stdout=subprocess.DEVNULL)
    time.sleep(1)
    p0, s0, t0 = cpu_seconds(parec.pid), cpu_seconds(server), time.time()
    time.sleep(args.idle_seconds)
    parec_cpu = (cpu_seconds(parec.pid) - p0) / (time.time() - t0) * 100
    server_cpu = (cpu_seconds(server) - s0) / (time.time() - t0) * 100
    parec.terminate()

    # Trigger latency: detection to the request at the stand-in.
    detected = [t for t, _ in lines.matching("ms silence, checking if should trigger LLM")]
    triggered = [t for t, l in lines.matching("[Silence] ✅ Triggering LLM")]
    requests = [int(re.match(r"\[standin-chat (\d+)\]", l).group(1)) / 1000
                for _, l in chat_lines.matching(": POST /v1/chat/completions")]
    trigger_ms = []
    for t in triggered:
        d = max(x for x in detected if x <= t + 0.001)
        r = min((x for x in requests if x >= d - 0.005), default=None)
        if r is not None:
            trigger_ms.append((r - d) * 1000)
    energy = [t for t, _ in lines.matching("[Audio] Energy: ")]
    poll_ms = [(b - a) / 50 * 1000 for a, b in zip(energy, energy[1:])]

    # Delivery: each delta leaving the stand-in to the program's "Content:" line for it. The
    # questions are far enough apart that replies do not overlap; the first "Content:" line of
    # a reply is the role delta, which the stand-in sends with the headers.
    sent = {}
    for _, l in chat_lines.matching(": delta "):
        m = re.match(r"\[standin-chat (\d+)\] request (\d+): delta (\d+) sent", l)
        sent.setdefault(int(m.group(2)), []).append(int(m.group(1)) / 1000)
    replies, current = [], None
    with lines.cond:
        for t, l in lines.lines:
            if l.startswith("[LLMClient] Reply created: "):
                current = []
                replies.append(current)
            elif l.startswith("[LLMClient] Content: ") and current is not None:
                current.append(t)
    delivery_ms = []
    for number, got in enumerate(replies, 1):
        for s_time, g_time in zip(sent.get(number, []), got[1:]):
            delivery_ms.append((g_time - s_time) * 1000)

    k.terminate()
    k.wait(20)

    med = statistics.median
    print(f"start-up to window shown: median {med(startups):.0f} ms "
          f"(runs: {', '.join(f'{x:.0f}' for x in startups)})")
    print(f"questions triggered: {len(triggered)} of {args.questions}")
    print(f"detection to request at the chat stand-in (early request off): median "
          f"{med(trigger_ms):.2f} ms, "
          f"max {max(trigger_ms):.2f} ms")
    print(f"capture poll period: median {med(poll_ms):.2f} ms, so 100 quiet buffers take "
          f"{100 * med(poll_ms):.0f} ms")
    print(f"last loud buffer to request: median {100 * med(poll_ms) + med(trigger_ms):.0f} ms "
          f"(threshold 1000 ms)")
    print(f"delta leaving the stand-in to the program handling it: median "
          f"{med(delivery_ms):.2f} ms, 95th percentile "
          f"{sorted(delivery_ms)[int(0.95 * len(delivery_ms))]:.2f} ms ({len(delivery_ms)} deltas)")
    print(f"resident memory listening, before the first question: {rss_listening / 1024:.1f} MB;"
          f" after {args.questions} questions and answers: {rss_after / 1024:.1f} MB; of these the"
          f" program's own (anonymous): {anon_listening / 1024:.1f} MB and"
          f" {anon_after / 1024:.1f} MB")
    print(f"CPU while listening to silence: {idle_cpu:.2f} % of one core "
          f"({args.idle_seconds} s); parec recording the same monitor: {parec_cpu:.2f} % "
          f"(its sound server meanwhile {server_cpu:.2f} %): {idle_cpu / max(parec_cpu, 0.01):.0f}"
          f" times the floor")
finally:
    cleanup()
