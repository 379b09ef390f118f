#!/usr/bin/env python3
"""The measuring half of bench/reliability (which starts the programs and calls
this); every address it uses is on 127.0.0.0/8.

  reliability_relay.py relay --aam-port A --output-port O [options]
      A lossy relay between a provider (the AAM on 127.0.0.1:A) and one
      receiver (the zqoutput answering RPC on 127.0.0.1:O). It listens for
      the receiver's RPC connection, forwards it to the AAM, and rewrites
      the port of each addUDPClient(...) request so that the AAM sends the
      data channel to the relay's own UDP port; each datagram is then
      forwarded to the receiver's real port, except that whole frames are
      dropped, held back behind the next frame (so they arrive after a later
      one) or sent twice, at random and counted by frame sequence number.
      It prints "relay listening 127.0.0.1:PORT" once it accepts, runs for
      --seconds from the first datagram with the faults off for the last
      --clean-tail seconds, samples the receiver's getStat every --sample
      seconds, then prints what it did against what the receiver counted and
      exits 1 when a check fails.

  reliability_relay.py monitor --seconds S --interval I --zqctl PID --outputs FILE
      Samples, every I seconds for S seconds, the resident memory and CPU
      time (/proc) of the zqoutput processes listed in FILE (one "PID PORT"
      a line) and of zqctl, and each output's FramesDecoded (getStat); prints
      the samples and exits 1 when memory grew past --growth-pct, an output
      stopped decoding or a process died. Beside them, per interval: how
      late the sender's frames came on the group (--group ADDR:PORT; each
      datagram's kernel receive stamp after the frame before, beyond the
      --frame-us between them) and the longest time a
      real-time thread pinned to each CPU waited past its 10 ms tick (the
      machine's own stalls, which no program on it can make up for). Then
      each underrun after the first sample, read from the output's log (the
      third column of FILE) by the time its period fell due: "during a CPU
      stall of N ms on CPU k" when it lies within a frame of a stall of
      50 ms or more, else "unexplained"; --inject stops the AAM's process or
      takes every CPU for a moment, to check that both are told apart.

  reliability_relay.py rpc PORT 'getStat()'
      One raw request line to 127.0.0.1:PORT; prints the answer line.
"""

import argparse
import json
import os
import random
import re
import select
import signal
import socket
import struct
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
PACKET_HEADER = struct.Struct("<III")  # frame sequence, fragment index, fragment count
DISCONNECTION_FRAME = 0xFFFFFFFF


def say(text):
    print(text, flush=True)


# ---- raw RPC ------------------------------------------------------------------------


def rpc_call(port, line, timeout=5.0):
    """Sends one request line to 127.0.0.1:port and returns the answer line
    (without CR LF); raises OSError on a failed or silent connection."""
    with socket.create_connection((LOOPBACK, port), timeout=timeout) as s:
        s.sendall(line.encode() + b"\r\n")
        answer = b""
        deadline = time.monotonic() + timeout
        while b"\n" not in answer:
            if time.monotonic() > deadline:
                raise OSError("no answer to %s from port %d" % (line, port))
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("port %d closed the connection" % port)
            answer += chunk
        return answer.split(b"\n", 1)[0].rstrip(b"\r").decode(errors="replace")


PAIR = re.compile(r'\s*([A-Za-z0-9_\[\].]+)\s*=\s*("(?:[^"\\]|\\.)*"|\[[0-9A-Fa-f]*\]|[^,]*)\s*(?:,|$)')


def parse_params(text):
    """The name=value list of an answer, integers as int."""
    values = {}
    for name, value in PAIR.findall(text):
        value = value.strip()
        if value.startswith('"'):
            values[name] = value[1:-1]
        else:
            try:
                values[name] = int(value)
            except ValueError:
                values[name] = value
    return values


def get_stat(port):
    """The output's getStat as a dict; {} when it did not answer OK."""
    try:
        answer = rpc_call(port, "getStat()")
    except OSError:
        return {}
    if not answer.startswith("OK"):
        return {}
    return parse_params(answer[2:])


# ---- the relay ----------------------------------------------------------------------

ADD_UDP_CLIENT = re.compile(rb"^addUDPClient\((.*)\)$")
PORT_ARG = re.compile(rb"(^|[ ,])port\s*=\s*(\d+)")
IP_ARG = re.compile(rb'(^|[ ,])ip\s*=\s*"([^"]*)"')


class Faults:
    """What happens to each frame: decided once per frame sequence number,
    from a seeded generator, and recorded."""

    PASS, DROP, HOLD, DUPLICATE = "pass", "drop", "hold", "duplicate"

    def __init__(self, drop, reorder, duplicate, seed, warmup_frames):
        self.drop, self.reorder, self.duplicate = drop, reorder, duplicate
        self.random = random.Random(seed)
        self.warmup_frames = warmup_frames
        self.enabled = True
        self.decided = {}  # frame sequence -> action

    def decide(self, seq, frames_seen, holding):
        action = self.decided.get(seq)
        if action is not None:
            return action
        action = self.PASS
        if self.enabled and frames_seen > self.warmup_frames:
            r = self.random.random()
            if r < self.drop:
                action = self.DROP
            elif r < self.drop + self.reorder:
                # One frame held at a time: a second one passes.
                action = self.PASS if holding else self.HOLD
            elif r < self.drop + self.reorder + self.duplicate:
                action = self.DUPLICATE
        self.decided[seq] = action
        return action


class Channel:
    """One data channel: datagrams from the AAM to the relay's port, forwarded
    to the receiver's port with the faults applied."""

    def __init__(self, target, faults, lock):
        self.target = target
        self.faults = faults
        self.lock = lock
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((LOOPBACK, 0))
        self.port = self.sock.getsockname()[1]
        self.closed = False
        # Counters, guarded by lock.
        self.first_datagram_at = None
        self.datagrams_in = 0
        self.datagrams_out = 0
        self.other_datagrams = 0  # too short, or disconnection packets: passed as they are
        self.frames_seen = 0
        self.frames_forwarded = 0  # distinct frames sent at least once
        self.dropped = []  # frame sequence numbers
        self.held = []  # (held frame, the later frame it was sent behind)
        self.duplicated = []  # frame sequence numbers sent twice
        self.duplicate_datagrams = 0
        self.upstream_gaps = 0  # frames missing between the AAM and the relay
        self.upstream_late = 0
        self.last_seq = None
        self.multi_fragment_frames = 0
        self.held_unreleased = 0
        # The frame being held back: its sequence number and datagrams.
        self.holding = None
        self.holding_datagrams = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def send(self, datagram):
        self.sock.sendto(datagram, self.target)
        self.datagrams_out += 1

    def release_held(self, behind):
        for d in self.holding_datagrams:
            self.send(d)
        self.held.append((self.holding, behind))
        self.holding, self.holding_datagrams = None, []

    def note_sequence(self, seq):
        if self.last_seq is None or seq > self.last_seq:
            if self.last_seq is not None and seq > self.last_seq + 1:
                self.upstream_gaps += seq - self.last_seq - 1
            if self.last_seq is None or seq != self.last_seq:
                self.frames_seen += 1
            self.last_seq = seq
        elif seq < self.last_seq:
            self.upstream_late += 1

    def handle(self, datagram):
        self.datagrams_in += 1
        if self.first_datagram_at is None:
            self.first_datagram_at = time.monotonic()
        if len(datagram) < PACKET_HEADER.size:
            self.other_datagrams += 1
            self.send(datagram)
            return
        seq, index, count = PACKET_HEADER.unpack_from(datagram)
        if seq == DISCONNECTION_FRAME:
            self.other_datagrams += 1
            self.send(datagram)
            return
        first_fragment = seq not in self.faults.decided
        self.note_sequence(seq)
        if count > 1 and index == 0:
            self.multi_fragment_frames += 1
        action = self.faults.decide(seq, self.frames_seen, self.holding is not None)
        if action == Faults.DROP:
            if first_fragment:
                self.dropped.append(seq)
            return
        if action == Faults.HOLD:
            self.holding = seq
            self.holding_datagrams.append(datagram)
            return
        copies = 2 if action == Faults.DUPLICATE else 1
        for _ in range(copies):
            self.send(datagram)
        if first_fragment:
            self.frames_forwarded += 1
            if action == Faults.DUPLICATE:
                self.duplicated.append(seq)
        if action == Faults.DUPLICATE:
            self.duplicate_datagrams += 1
        # The held frame follows the last fragment of a later frame.
        last_fragment = index + 1 >= count
        if self.holding is not None and seq > self.holding and last_fragment:
            self.frames_forwarded += 1
            self.release_held(seq)

    def run(self):
        while not self.closed:
            try:
                ready, _, _ = select.select([self.sock], [], [], 0.2)
                if not ready:
                    continue
                datagram = self.sock.recv(65536)
            except OSError:
                return
            with self.lock:
                try:
                    self.handle(datagram)
                except OSError as e:
                    say("relay: forwarding failed: %s" % e)

    def close(self):
        with self.lock:
            if self.holding is not None:
                self.held_unreleased += 1
                self.holding, self.holding_datagrams = None, []
        self.closed = True
        self.thread.join(timeout=2)
        self.sock.close()


class Relay:
    """The RPC proxy and its data channels."""

    def __init__(self, listen_port, aam_port, faults):
        self.aam_port = aam_port
        self.faults = faults
        self.lock = threading.Lock()
        self.channels = []
        self.connections = 0
        self.errors = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LOOPBACK, listen_port))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                server = socket.create_connection((LOOPBACK, self.aam_port), timeout=5)
            except OSError as e:
                self.errors.append("cannot reach the AAM on port %d: %s" % (self.aam_port, e))
                client.close()
                continue
            client.settimeout(None)
            server.settimeout(None)
            self.connections += 1
            threading.Thread(target=self.requests, args=(client, server), daemon=True).start()
            threading.Thread(target=self.answers, args=(server, client), daemon=True).start()

    def rewrite(self, line):
        """The request line as the AAM is to see it."""
        body = line.rstrip(b"\r")
        m = ADD_UDP_CLIENT.match(body)
        if not m:
            return line
        args = m.group(1)
        port_m, ip_m = PORT_ARG.search(args), IP_ARG.search(args)
        if not port_m or not ip_m:
            self.errors.append("addUDPClient without ip or port: %r" % body)
            return line
        ip, port = ip_m.group(2).decode(), int(port_m.group(2))
        if not ip.startswith("127."):
            # Nothing may be sent off loopback: the request goes unchanged and
            # the AAM, not the relay, answers for it.
            self.errors.append("addUDPClient names %s, not a loopback address" % ip)
            return line
        channel = Channel((ip, port), self.faults, self.lock)
        with self.lock:
            self.channels.append(channel)
        args = args[: port_m.start(2)] + str(channel.port).encode() + args[port_m.end(2):]
        ip_m = IP_ARG.search(args)
        args = args[: ip_m.start(2)] + LOOPBACK.encode() + args[ip_m.end(2):]
        new = b"addUDPClient(" + args + b")"
        say("relay: %s -> %s (frames forwarded to %s:%d)"
            % (body.decode(errors="replace"), new.decode(), ip, port))
        return new + (b"\r" if line.endswith(b"\r") else b"")

    def requests(self, client, server):
        """Requests from the output to the AAM, rewritten line by line."""
        pending = b""

        def forward(chunk):
            nonlocal pending
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                server.sendall(self.rewrite(line) + b"\n")

        self.pump(client, server, forward)

    @staticmethod
    def answers(server, client):
        """Answers from the AAM to the output, as they are."""
        Relay.pump(server, client, client.sendall)

    @staticmethod
    def pump(source, sink, forward):
        """Hands what `source` sends to `forward` until it ends, then shuts
        both connections down so that the other direction ends too."""
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                forward(chunk)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def first_datagram_at(self):
        with self.lock:
            times = [c.first_datagram_at for c in self.channels if c.first_datagram_at]
        return min(times) if times else None

    def close(self):
        self.stopping = True
        for c in self.channels:
            c.close()
        self.listener.close()


def run_relay(args):
    faults = Faults(args.drop, args.reorder, args.duplicate, args.seed, args.warmup_frames)
    relay = Relay(args.listen_port, args.aam_port, faults)
    say("relay listening %s:%d" % (LOOPBACK, relay.port))

    deadline = time.monotonic() + args.start_timeout
    while relay.first_datagram_at() is None:
        if time.monotonic() > deadline:
            say("relay: FAIL: no datagram from the AAM within %d s (%s)"
                % (args.start_timeout, "; ".join(relay.errors) or "no addUDPClient seen"))
            relay.close()
            return 1
        time.sleep(0.05)
    start = relay.first_datagram_at()
    say("relay: first datagram; %d s with %g %% dropped, %g %% held back, %g %% duplicated, "
        "the last %g s clean" % (args.seconds, 100 * args.drop, 100 * args.reorder,
                                 100 * args.duplicate, args.clean_tail))

    samples = []  # (seconds since start, getStat)
    next_sample = start
    end = start + args.seconds
    while True:
        now = time.monotonic()
        if faults.enabled and now >= end - args.clean_tail:
            with relay.lock:
                faults.enabled = False
            say("relay: faults off at %.1f s" % (now - start))
        if now >= end:
            break
        if now >= next_sample:
            samples.append((now - start, get_stat(args.output_port)))
            next_sample += args.sample
        time.sleep(min(0.1, max(0.0, min(next_sample, end) - now)))
    final = get_stat(args.output_port)
    samples.append((time.monotonic() - start, final))
    with relay.lock:
        counts = snapshot(relay)
    relay.close()
    if args.detail:
        with open(args.detail, "w") as f:
            json.dump(counts, f, indent=1)
    return report(counts, samples, final, relay.errors, args)


def snapshot(relay):
    c = {"connections": relay.connections, "channels": len(relay.channels)}
    totals = {k: 0 for k in ("datagrams_in", "datagrams_out", "other_datagrams", "frames_seen",
                             "frames_forwarded", "duplicate_datagrams", "upstream_gaps",
                             "upstream_late", "multi_fragment_frames", "held_unreleased")}
    dropped, held, duplicated = [], [], []
    for ch in relay.channels:
        for k in totals:
            totals[k] += getattr(ch, k)
        dropped += ch.dropped
        held += ch.held
        duplicated += ch.duplicated
        if ch.holding is not None:
            totals["held_unreleased"] += 1
    c.update(totals)
    c.update({"dropped": dropped, "held": held, "duplicated": duplicated})
    return c


def report(c, samples, final, errors, args):
    failures = []
    say("")
    say("relay: the output's getStat every %g s:" % args.sample)
    say("  %7s %14s %10s %10s %10s %12s" % ("t (s)", "FramesReceived", "FramesLost",
                                             "FramesLate", "Duplicate", "FramesDecoded"))
    for t, s in samples:
        if not s:
            say("  %7.1f   (no answer)" % t)
            continue
        say("  %7.1f %14s %10s %10s %10s %12s" % (
            t, s.get("FramesReceived", "-"), s.get("FramesLost", "-"), s.get("FramesLate", "-"),
            s.get("DuplicatePackets", "-"), s.get("FramesDecoded", "-")))

    # Playing throughout: FramesDecoded grew from every sample to the next.
    decoded = [s.get("FramesDecoded") for _, s in samples]
    stalls = [i for i in range(1, len(decoded))
              if decoded[i] is None or decoded[i - 1] is None or decoded[i] <= decoded[i - 1]]
    if not final:
        failures.append("the output did not answer getStat at the end")
    if stalls:
        failures.append("FramesDecoded did not grow between samples at %s s"
                        % ", ".join("%.0f" % samples[i][0] for i in stalls))

    dropped, held, dups = len(c["dropped"]), len(c["held"]), len(c["duplicated"])
    expected_lost = dropped + c["upstream_gaps"]
    say("")
    say("relay: %-44s %10s %10s" % ("", "relay", "zqoutput"))
    rows = [
        ("datagrams from the AAM / forwarded", "%d / %d" % (c["datagrams_in"], c["datagrams_out"]), ""),
        ("frames seen from the AAM", c["frames_seen"], ""),
        ("frames forwarded (each once) / FramesReceived", c["frames_forwarded"],
         final.get("FramesReceived", "-")),
        ("frames dropped / FramesLost", dropped, final.get("FramesLost", "-")),
        ("frames held behind a later one / FramesLate", held, final.get("FramesLate", "-")),
        ("frames duplicated / DuplicatePackets", dups, final.get("DuplicatePackets", "-")),
        ("frames missing before the relay", c["upstream_gaps"], ""),
        ("FramesDecoded / DecodeErrors / Underruns", "",
         "%s / %s / %s" % (final.get("FramesDecoded", "-"), final.get("DecodeErrors", "-"),
                           final.get("Underruns", "-"))),
        ("BufferedMs / LevelDb", "", "%s / %s" % (final.get("BufferedMs", "-"),
                                                   final.get("LevelDb", "-"))),
    ]
    for name, relay_value, output_value in rows:
        say("relay: %-44s %10s %10s" % (name, relay_value, output_value))
    say("relay: first dropped frames %s; first held (frame, sent behind) %s"
        % (c["dropped"][:8], c["held"][:5]))

    if c["channels"] != 1:
        failures.append("%d data channels were opened (1 expected): the output reconnected, "
                        "its counts cover more than one channel" % c["channels"])
    if c["multi_fragment_frames"]:
        say("relay: note: %d frames came in more than one datagram" % c["multi_fragment_frames"])
    # The relay's own books: every frame it saw was forwarded or dropped.
    if c["frames_seen"] != c["frames_forwarded"] + dropped + c["held_unreleased"]:
        failures.append("the relay's counts do not add up: %d frames seen, %d forwarded, %d dropped"
                        % (c["frames_seen"], c["frames_forwarded"], dropped))
    if c["held_unreleased"]:
        failures.append("%d held frames were never sent" % c["held_unreleased"])
    lost = final.get("FramesLost")
    if lost is None:
        failures.append("the output reports no FramesLost")
    elif lost != expected_lost:
        failures.append("FramesLost is %d, the relay dropped %d%s" % (
            lost, dropped, " and %d went missing before it" % c["upstream_gaps"]
            if c["upstream_gaps"] else ""))
    late = final.get("FramesLate")
    if late is None:
        say("relay: FramesLate: this zqoutput does not report it (%d frames were held back)" % held)
    else:
        say("relay: FramesLate %d against %d frames held back behind a later one: %s"
            % (late, held, "equal" if late == held else "differ by %+d" % (late - held)))
    dup_reported = final.get("DuplicatePackets")
    if dup_reported is not None:
        say("relay: DuplicatePackets %d against %d datagrams sent twice: %s"
            % (dup_reported, c["duplicate_datagrams"],
               "equal" if dup_reported == c["duplicate_datagrams"]
               else "differ by %+d" % (dup_reported - c["duplicate_datagrams"])))
    failures += errors
    for f in failures:
        say("relay: FAIL: %s" % f)
    say("relay: %s" % ("PASS" if not failures else "FAIL (%d checks)" % len(failures)))
    return 1 if failures else 0


# ---- what the machine and the sender did, per interval ----------------------------

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's number where Python lacks it
STALL_TICK = 0.010  # the stall probe's period
STALL_REPORT = 0.005  # a tick this late or later is reported
# A stall that can explain an underrun: the probe saw nothing of its CPU for
# this long (from its wake before to the one that came late).
STALL_WINDOW = 0.050


def stall_probe(cpu, out):
    """Runs in a child: pinned to `cpu`, real-time where permitted, it sleeps
    to each 10 ms tick and writes "cpu lateness-ms previous-wake wake" (the
    wakes in seconds on the wall clock) for every tick that came late: the
    CPU ran nothing of the probe from its wake before to this one, and
    nothing at all of it for the lateness past the tick."""
    try:
        os.sched_setaffinity(0, {cpu})
    except OSError:
        pass
    try:
        os.sched_setscheduler(0, os.SCHED_RR, os.sched_param(1))
    except (OSError, AttributeError):
        pass
    # The wall clock of the outputs' logs, read from the monotonic one the
    # probe sleeps on, so that a clock step cannot make a stall.
    to_wall = time.time() - time.monotonic()
    tick = woke = time.monotonic()
    while True:
        tick += STALL_TICK
        delay = tick - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        before, woke = woke, time.monotonic()
        late = woke - tick
        if late >= STALL_REPORT:
            os.write(out, b"%d %.1f %.4f %.4f\n" % (cpu, late * 1000, before + to_wall,
                                                     woke + to_wall))
            tick = woke  # not the ticks it missed


class MachineStalls:
    """One stall probe a CPU; longest() gives the longest stall on each CPU
    since the last call, and every stall of STALL_WINDOW or more is kept
    (windows) to be set beside the underruns."""

    def __init__(self):
        self.cpus = sorted(os.sched_getaffinity(0))
        self.read_end, write_end = os.pipe()
        os.set_blocking(self.read_end, False)
        self.children = []
        for cpu in self.cpus:
            pid = os.fork()
            if pid == 0:
                os.close(self.read_end)
                try:
                    stall_probe(cpu, write_end)
                finally:
                    os._exit(0)
            self.children.append(pid)
        os.close(write_end)
        self.pending = b""
        self.windows = []  # (cpu, lateness ms, from, to) on the wall clock
        self.reports = []  # every late tick, the shorter ones too

    def longest(self):
        worst = {cpu: 0.0 for cpu in self.cpus}
        while True:
            try:
                chunk = os.read(self.read_end, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            self.pending += chunk
        *lines, self.pending = self.pending.split(b"\n")
        for line in lines:
            cpu, ms, since, woke = line.split()
            worst[int(cpu)] = max(worst[int(cpu)], float(ms))
            stall = (int(cpu), float(ms), float(since), float(woke))
            self.reports.append(stall)
            if stall[3] - stall[2] >= STALL_WINDOW:
                self.windows.append(stall)
        return worst

    def close(self):
        for pid in self.children:
            try:
                os.kill(pid, signal.SIGTERM)
                os.waitpid(pid, 0)
            except OSError:
                pass


class GroupListener:
    """Joins the multicast group on lo and keeps, for each frame's first
    datagram, the frame number and the kernel's receive stamp."""

    def __init__(self, group):
        address, port = group.rsplit(":", 1)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((address, int(port)))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             socket.inet_aton(address) + socket.inet_aton(LOOPBACK))
        self.sock.setblocking(False)
        self.frames = []  # (frame number, receive stamp in s)
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop:
            ready, _, _ = select.select([self.sock], [], [], 0.5)
            if not ready:
                continue
            while True:
                try:
                    data, ancillary, _, _ = self.sock.recvmsg(2048, 64)
                except BlockingIOError:
                    break
                if len(data) < PACKET_HEADER.size:
                    continue
                frame, fragment, _ = PACKET_HEADER.unpack_from(data)
                for level, kind, value in ancillary:
                    if (level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS
                            and fragment == 0 and len(value) >= 16):
                        sec, nsec = struct.unpack_from("qq", value)
                        self.frames.append((frame, sec + nsec / 1e9))

    def waits(self, frame_s):
        """For each frame, how much longer than the frames between (ms) it
        came after the one before: 0 while the sender keeps time, a stall's
        length when it stopped (a source that skips what it could not
        capture keeps its new pace afterwards, so the wait, not a drift
        from the first frames' schedule, is what empties a buffer)."""
        frames = list(self.frames)
        return [(t1, 1000 * ((t1 - t0) - (n1 - n0) * frame_s))
                for (n0, t0), (n1, t1) in zip(frames, frames[1:]) if n1 > n0]

    def close(self):
        self.stop = True
        self.thread.join(2)
        self.sock.close()


# ---- underruns and what explains them -------------------------------------------------

LOG_TIME = re.compile(r"(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.(\d{3})")
UNDERRUN = re.compile(r"zqoutput: underrun: .*\(due (-?\d+) ms before\)")


def underruns_logged(path):
    """The times (wall clock, s) at which the output's periods that ran dry
    fell due: each underrun line's log time less how long before it was due."""
    times = []
    try:
        with open(path, errors="replace") as f:
            for line in f:
                u = UNDERRUN.search(line)
                t = LOG_TIME.search(line)
                if not u or not t:
                    if "zqoutput: underrun:" in line:
                        # Counted nowhere else: say it rather than lose it.
                        say("monitor: an underrun line not understood: %s" % line.strip())
                    continue
                mon, day, year, hh, mm, ss, ms = (int(x) for x in t.groups())
                at = time.mktime((year, mon, day, hh, mm, ss, 0, 0, -1)) + ms / 1000
                times.append(at - int(u.group(1)) / 1000)
    except OSError:
        pass
    return times


def attribute(at, windows, slack):
    """The stalls that explain an underrun due at `at`: those whose window,
    widened by `slack` either way, holds it, the longest first."""
    within = [w for w in windows if w[2] - slack <= at <= w[3] + slack]
    return sorted(within, key=lambda w: -w[1])


def stamp(at):
    return time.strftime("%H:%M:%S", time.localtime(at)) + ".%03d" % int(at % 1 * 1000)


# ---- deliberate stalls, to check the attribution -------------------------------------


def stop_process(pid, ms):
    """SIGSTOP of `pid` for `ms` (the sender stops; no CPU does)."""
    began = time.time()
    os.kill(pid, signal.SIGSTOP)
    time.sleep(ms / 1000)
    os.kill(pid, signal.SIGCONT)
    return began, time.time()


def hog_every_cpu(ms):
    """A real-time busy loop pinned to each CPU for `ms`, above every other
    thread, all from one moment: the machine stalls as it does by itself now
    and then. (Loops begun one after the other, as each child comes up,
    would leave a CPU to run the rest meanwhile.) Returns when each loop ran
    (wall clock), as the loops themselves saw it."""
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    cpus = sorted(os.sched_getaffinity(0))
    children = []
    for cpu in cpus:
        pid = os.fork()
        if pid == 0:
            try:
                try:
                    os.sched_setaffinity(0, {cpu})
                    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(99))
                except OSError:
                    os.write(ready_w, b"x")  # said, or the parent waits for ever
                    os._exit(1)
                os.write(ready_w, b"r")
                os.read(go_r, 1)
                began = time.time()
                end = time.monotonic() + ms / 1000
                while time.monotonic() < end:
                    pass
                os.write(ready_w, struct.pack("idd", cpu, began, time.time()))
            finally:
                os._exit(0)
        children.append(pid)
    refused = [os.read(ready_r, 1) for _ in cpus].count(b"x")
    os.write(go_w, b"g" * len(cpus))
    for pid in children:
        os.waitpid(pid, 0)
    if refused:
        for fd in (ready_r, ready_w, go_r, go_w):
            os.close(fd)
        raise SystemExit("hog@: a real-time busy loop needs the right to real-time priority")
    size = struct.calcsize("idd")
    ran = [struct.unpack("idd", os.read(ready_r, size)) for _ in cpus]
    for fd in (ready_r, ready_w, go_r, go_w):
        os.close(fd)
    return sorted(ran)


# ---- the monitor --------------------------------------------------------------------

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def proc_usage(pid):
    """(resident kB, CPU seconds) of a live process, None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        with open("/proc/%d/statm" % pid) as f:
            resident_pages = int(f.read().split()[1])
    except (OSError, IndexError, ValueError):
        return None
    if fields[0] == "Z":
        return None
    # Fields after the name: state is [0], utime [11], stime [12].
    cpu = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    return resident_pages * PAGE_KB, cpu


def read_outputs(path):
    """(pid, port) of each output, and the path of each one's log (or None)."""
    outputs, logs = [], []
    with open(path) as f:
        for line in f:
            if line.strip():
                pid, port, *log = line.split()
                outputs.append((int(pid), int(port)))
                logs.append(log[0] if log else None)
    return outputs, logs


def take_sample(outputs, zqctl_pid):
    at = time.monotonic()
    usage = [proc_usage(pid) for pid, _ in outputs]
    ctl = proc_usage(zqctl_pid)
    stats = [get_stat(port) for _, port in outputs]
    decoded = [s.get("FramesDecoded") for s in stats]
    return {"at": at, "usage": usage, "zqctl": ctl, "decoded": decoded, "stats": stats}


def run_monitor(args):
    outputs, logs = read_outputs(args.outputs)
    n = len(outputs)
    samples = []
    stalls = MachineStalls() if args.stall_probe else None
    listener = GroupListener(args.group) if args.group else None
    try:
        return monitor(args, outputs, logs, n, samples, stalls, listener)
    finally:
        if stalls:
            stalls.close()
        if listener:
            listener.close()


def monitor(args, outputs, logs, n, samples, stalls, listener):
    start = time.monotonic()
    end = start + args.seconds
    failures = []
    say("monitor: %d outputs and zqctl (pid %d), a sample every %g s for %g s"
        % (n, args.zqctl, args.interval, args.seconds))
    say("monitor: %6s %12s %12s %10s %10s %10s %8s %12s" % (
        "t (s)", "RSS sum MB", "RSS max MB", "CPU %", "zqctl MB", "zqctl CPU%", "alive",
        "decoding"))
    next_at = start
    injections = sorted(parse_injections(args.inject))
    while True:
        now = time.monotonic()
        if injections and now - start >= injections[0][0]:
            inject(args, injections.pop(0)[1])
            continue
        if now < next_at:
            time.sleep(min(1.0, next_at - now, max(0.0, start + injections[0][0] - now)
                           if injections else 1.0))
            continue
        s = take_sample(outputs, args.zqctl)
        s["t"] = s["at"] - start
        s["wall"] = time.time()
        s["stalls"] = stalls.longest() if stalls else None
        samples.append(s)
        print_sample(samples, n)
        next_at += args.interval
        if s["at"] >= end:
            break
    late = listener.waits(args.frame_us / 1e6) if listener else None
    rc = monitor_verdict(samples, outputs, args, failures, late)
    explain_underruns(args, logs, samples, stalls)
    return rc


def parse_injections(text):
    """"stop@30,hog@60": (seconds into the run, kind) for each."""
    out = []
    for item in filter(None, (text or "").split(",")):
        kind, _, at = item.partition("@")
        if kind not in ("stop", "hog") or not at:
            raise SystemExit("monitor: --inject takes stop@S and hog@S, not %r" % item)
        out.append((float(at), kind))
    return out


def inject(args, kind):
    if kind == "stop":
        began, ended = stop_process(args.zqctl, args.inject_ms)
        say("monitor: injected at %s: the AAM's process (zqctl) stopped for %.0f ms"
            % (stamp(began), (ended - began) * 1000))
        return
    ran = hog_every_cpu(args.inject_ms)
    say("monitor: injected: a real-time busy loop on every CPU: %s"
        % ", ".join("CPU %d from %s for %.0f ms" % (cpu, stamp(began), (ended - began) * 1000)
                    for cpu, began, ended in ran))


def explain_underruns(args, logs, samples, stalls):
    """Each underrun after the first sample, from the outputs' logs, put
    down to a stall of a CPU or called unexplained."""
    if not samples or not any(logs):
        say("monitor: underruns: no output logs to read them from")
        return
    windows = reports = []
    if stalls:
        stalls.longest()  # what came since the last sample
        windows, reports = stalls.windows, stalls.reports
    after = samples[0]["wall"]
    slack = args.frame_us / 1e6  # within a frame of the stall
    found = sorted((at, i + 1) for i, path in enumerate(logs) if path
                   for at in underruns_logged(path) if at >= after)
    explained = 0
    say("monitor: underruns after the first sample, by the time the period that ran dry fell "
        "due (a CPU stall explains one within %.0f ms of it; stalls of %.0f ms or more)"
        % (slack * 1000, STALL_WINDOW * 1000))
    for at, output in found:
        stalled = attribute(at, windows, slack)
        if stalled:
            explained += 1
            # The stall's length is its window, the measure it was kept by.
            why = "during a CPU stall of %.0f ms on CPU %d" % (
                (stalled[0][3] - stalled[0][2]) * 1000, stalled[0][0])
            others = ", ".join("CPU %d %.0f ms" % (w[0], (w[3] - w[2]) * 1000) for w in stalled[1:])
            why += " (also %s)" % others if others else ""
        else:
            # Said beside it, not counted: a shorter stall of a CPU then.
            near = attribute(at, reports, slack)
            why = "unexplained" + (" (CPU %d was %.0f ms late then)" % (near[0][0], near[0][1])
                                   if near else "")
        say("monitor:   %s  output %d  %s" % (stamp(at), output, why))
    for cpu, ms, since, woke in windows:
        if since >= after:
            say("monitor: CPU %d stalled %.0f ms (no probe run from %s to %s)"
                % (cpu, ms, stamp(since), stamp(woke)))
    if not stalls:
        say("monitor: no stall probe: every underrun is unexplained")
    summary = "%d during a CPU stall, %d unexplained" % (explained, len(found) - explained)
    say("monitor: underruns after the first sample: %s" % summary)
    if args.summary:
        with open(args.summary, "w") as f:
            f.write("underruns after the start: %s\n" % summary)


def cpu_percent(before, after, dt):
    if before is None or after is None or dt <= 0:
        return None
    return 100.0 * (after[1] - before[1]) / dt


def print_sample(samples, n):
    s = samples[-1]
    alive = [u for u in s["usage"] if u is not None]
    rss_sum = sum(u[0] for u in alive) / 1024
    rss_max = max((u[0] for u in alive), default=0) / 1024
    cpu = ctl_cpu = None
    decoding = "-"
    if len(samples) > 1:
        p = samples[-2]
        dt = s["at"] - p["at"]
        pairs = [(a, b) for a, b in zip(p["usage"], s["usage"]) if a is not None and b is not None]
        cpu = 100.0 * sum(b[1] - a[1] for a, b in pairs) / dt if dt > 0 else None
        ctl_cpu = cpu_percent(p["zqctl"], s["zqctl"], dt)
        grew = sum(1 for a, b in zip(p["decoded"], s["decoded"])
                   if a is not None and b is not None and b > a)
        decoding = "%d/%d" % (grew, n)
    ctl_mb = s["zqctl"][0] / 1024 if s["zqctl"] else float("nan")
    say("monitor: %6.0f %12.1f %12.1f %10s %10.1f %10s %8s %12s" % (
        s["t"], rss_sum, rss_max, "-" if cpu is None else "%.1f" % cpu, ctl_mb,
        "-" if ctl_cpu is None else "%.1f" % ctl_cpu, "%d/%d" % (len(alive), n), decoding))


def monitor_verdict(samples, outputs, args, failures, late):
    first, last = samples[0], samples[-1]
    # Memory at the end against memory once the run has settled: after the
    # first minute, or half-way through a shorter run.
    settle = min(60.0, args.seconds / 2)
    reference = next(s for s in samples if s["t"] >= settle)
    say("monitor: memory growth from %.0f s to %.0f s (limit %g %%):"
        % (reference["t"], last["t"], args.growth_pct))

    def growth(name, before, after):
        if before is None or after is None or before <= 0:
            failures.append("%s: no figure to compare" % name)
            return
        pct = 100.0 * (after - before) / before
        say("monitor:   %-22s %9.1f MB -> %9.1f MB  %+6.1f %%" % (name, before / 1024, after / 1024, pct))
        if pct > args.growth_pct:
            failures.append("%s grew %.1f %% (limit %g %%)" % (name, pct, args.growth_pct))

    def rss(sample, fn):
        alive = [u[0] for u in sample["usage"] if u is not None]
        return fn(alive) if alive else None

    growth("outputs' RSS, sum", rss(reference, sum), rss(last, sum))
    growth("outputs' RSS, largest", rss(reference, max), rss(last, max))
    growth("zqctl's RSS", reference["zqctl"] and reference["zqctl"][0],
           last["zqctl"] and last["zqctl"][0])

    dt = last["at"] - first["at"]
    pairs = [(a, b) for a, b in zip(first["usage"], last["usage"]) if a and b]
    if dt > 0 and pairs:
        per_output = [100.0 * (b[1] - a[1]) / dt for a, b in pairs]
        say("monitor: CPU over the run: outputs %.1f %% of one core in all (%.2f %% each on "
            "average, %.2f %% the most), zqctl %s %%"
            % (sum(per_output), sum(per_output) / len(per_output), max(per_output),
               "%.1f" % cpu_percent(first["zqctl"], last["zqctl"], dt)
               if first["zqctl"] and last["zqctl"] else "-"))

    dead = [pid for (pid, _), u in zip(outputs, last["usage"]) if u is None]
    if dead:
        failures.append("%d outputs died: pids %s" % (len(dead), dead[:10]))
    if last["zqctl"] is None:
        failures.append("zqctl died")
    stalled = [port for (_, port), a, b in zip(outputs, first["decoded"], last["decoded"])
               if a is None or b is None or b <= a]
    if stalled:
        failures.append("%d outputs' FramesDecoded did not grow (or they did not answer): "
                        "ports %s" % (len(stalled), stalled[:10]))
    paused = sum(1 for i in range(1, len(samples)) for a, b in zip(samples[i - 1]["decoded"],
                                                                  samples[i]["decoded"])
                 if a is not None and b is not None and b <= a)
    say("monitor: FramesDecoded at the end: min %s, max %s; intervals in which an output "
        "decoded nothing: %d" % (min((d for d in last["decoded"] if d is not None), default="-"),
                                 max((d for d in last["decoded"] if d is not None), default="-"),
                                 paused))
    totals = []
    for name in ("FramesReceived", "FramesLost", "FramesLate", "DuplicatePackets", "DecodeErrors",
                 "Underruns"):
        values = [s[name] for s in last["stats"] if isinstance(s.get(name), int)]
        if values:
            totals.append("%s %d (most %d)" % (name, sum(values), max(values)))
    say("monitor: the outputs' getStat summed at the end: %s" % ", ".join(totals))
    # Filling at the start may run dry once; a buffer that holds does not after.
    later = [b["Underruns"] - a["Underruns"] for a, b in zip(first["stats"], last["stats"])
             if isinstance(a.get("Underruns"), int) and isinstance(b.get("Underruns"), int)]
    say("monitor: underruns after the first sample: %d in all, %d outputs had any"
        % (sum(later), sum(1 for u in later if u > 0)))
    # When they came, and how many outputs at once: all outputs in one
    # interval points at the sender or the machine, one at a time at an output.
    # Beside them, per interval, the sender's latest frame on the group and
    # the machine's longest stall on each CPU.
    say("monitor: per interval: underruns/outputs with any, the sender's longest wait beyond a "
        "frame's period (ms), the longest stall of each CPU (ms)")
    for a, b in zip(samples, samples[1:]):
        runs = [y["Underruns"] - x["Underruns"] for x, y in zip(a["stats"], b["stats"])
                if isinstance(x.get("Underruns"), int) and isinstance(y.get("Underruns"), int)]
        sender = "-"
        if late:
            within = [ms for t, ms in late if a["wall"] <= t < b["wall"]]
            sender = "%.1f" % max(within) if within else "none came"
        machine = "-"
        if b["stalls"] is not None:
            machine = " ".join("cpu%d %.0f" % kv for kv in sorted(b["stalls"].items()))
        say("monitor:   %6.0f s  %7s  sender %9s  stalls %s"
            % (b["t"], "%d/%d" % (sum(runs), sum(1 for u in runs if u > 0)), sender, machine))
    if late:
        ms = sorted(m for _, m in late)
        say("monitor: the sender's frames on the group: %d, each after the one before by its "
            "period and p50 %.1f, p99 %.1f, p99.9 %.1f, at most %.1f ms more" % (len(ms), ms[len(ms) // 2], ms[int(len(ms) * 0.99)],
                                            ms[int(len(ms) * 0.999)], ms[-1]))
    for f in failures:
        say("monitor: FAIL: %s" % f)
    say("monitor: %s" % ("PASS" if not failures else "FAIL (%d checks)" % len(failures)))
    return 1 if failures else 0


# ---- command line -------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)

    r = sub.add_parser("relay")
    r.add_argument("--aam-port", type=int, required=True)
    r.add_argument("--output-port", type=int, required=True)
    r.add_argument("--listen-port", type=int, default=0)
    r.add_argument("--seconds", type=float, default=60)
    r.add_argument("--clean-tail", type=float, default=2)
    r.add_argument("--sample", type=float, default=5)
    r.add_argument("--drop", type=float, default=0.10)
    r.add_argument("--reorder", type=float, default=0.03)
    r.add_argument("--duplicate", type=float, default=0.03)
    r.add_argument("--seed", type=int, default=1)
    r.add_argument("--warmup-frames", type=int, default=20)
    r.add_argument("--start-timeout", type=float, default=30)
    r.add_argument("--detail", help="file for the frame numbers dropped, held and duplicated")

    m = sub.add_parser("monitor")
    m.add_argument("--seconds", type=float, required=True)
    m.add_argument("--interval", type=float, default=10)
    m.add_argument("--zqctl", type=int, required=True)
    m.add_argument("--outputs", required=True)
    m.add_argument("--growth-pct", type=float, default=10)
    m.add_argument("--group", help="ADDR:PORT of the multicast group the outputs play")
    m.add_argument("--frame-us", type=float, default=1152 / 44100 * 1e6,
                   help="the frames' period on the group (an MP3 frame at 44.1 kHz)")
    m.add_argument("--stall-probe", type=int, default=1,
                   help="1: a real-time probe per CPU reports the machine's stalls")
    m.add_argument("--inject", default="",
                   help="deliberate stalls to check the attribution: stop@S (the AAM's "
                        "process stopped S s into the run), hog@S (every CPU taken)")
    m.add_argument("--inject-ms", type=float, default=120, help="how long each injection lasts")
    m.add_argument("--summary", help="file for the line that counts the underruns of each kind")

    c = sub.add_parser("rpc")
    c.add_argument("port", type=int)
    c.add_argument("line")

    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if args.command == "relay":
        return run_relay(args)
    if args.command == "monitor":
        return run_monitor(args)
    try:
        say(rpc_call(args.port, args.line))
    except OSError as e:
        say("rpc: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
