#!/usr/bin/env python3
# Independent executable model of the library's port behaviour on the simulated table's virtual
# clock: replays a runner script and writes the port trace the library should produce, poll for
# poll. Standard library only; shares no code with the library or the simulator.
"""Port-trace model of steplink on the simulated table.

  port_model.py trace SCRIPT [--sim SETTINGS] [--start-speed N] [--out FILE]
      write the model's trace of SCRIPT (SETTINGS default to the script's "# sim:" line)
  port_model.py compare --runner BIN [--library LIB] [--start-speed N] [--workdir DIR] SCRIPT...
      run each script through the runner with --trace and through the model, and report the
      first differing line of each with context (both traces are kept then, in DIR);
      exit status 1 on any difference
  port_model.py replay SCRIPT TRACE [--start-speed N] [--workdir DIR]
      replay a trace taken on real time (a real port, the realtime simulated table): the model
      runs SCRIPT with every port read answered by the byte TRACE shows read at that point, and
      must then write TRACE line for line; exit status 1 on any difference
"""

import argparse
import itertools
import os
import subprocess
import sys
import tempfile

INT32_MIN = -(1 << 31)
INT32_MAX = (1 << 31) - 1


def Int32(value):
    """Wraps an integer to signed 32 bits, as a C++ int32 product or sum does."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def TruncInt32(value):
    """double -> int32 by truncation towards zero, saturating at the int32 limits."""
    if value != value:  # NaN
        return 0
    if value >= 2147483648.0:
        return INT32_MAX
    if value <= -2147483649.0:
        return INT32_MIN
    return int(value)


# --------------------------------------------------------------------------------------------
# The simulated table on its virtual clock.

STEP_PATTERNS = (39, 45, 28, 13, 3, 9, 56, 41)
HOLD_PATTERNS = (55, 54, 30, 22, 19, 18, 58, 50)
AUX_PATTERNS = {0x1B: 0, 0x07: 1}


def PhaseOf(pattern):
    for phase in range(8):
        if STEP_PATTERNS[phase] == pattern or HOLD_PATTERNS[phase] == pattern:
            return phase
    return None


class SimSettings:
    def __init__(self, sim):
        self.access_ticks = 2
        self.mode = 2
        self.status_byte = None
        self.limits = [-200, -150, -100]
        for item in sim.split(","):
            item = item.strip()
            if not item:
                continue
            key, _, value = item.partition("=")
            key, value = key.strip(), value.strip()
            if key == "clock":
                if value != "virtual":
                    raise ValueError("the model runs on the virtual clock only")
            elif key == "access-ticks":
                self.access_ticks = int(value, 0)
            elif key == "mode":
                self.mode = int(value)
            elif key == "status-byte":
                self.status_byte = int(value, 0)
            elif key in ("limit-x", "limit-y", "limit-z"):
                self.limits["xyz".index(key[-1])] = int(value, 0)
            else:
                raise ValueError("sim key not modelled: " + key)


class Table:
    """Counter 0, the parallel port and the latch board; positions drive the limit input."""

    def __init__(self, settings):
        self.settings = settings
        self.tick = 0
        self.status_pending = False
        self.latched_left = 0
        self.latched = 0
        self.data = 0
        self.control = 0
        self.phase = [0, 0, 0]
        self.position = [0, 0, 0]
        self.aux = -1
        self.faults = 0

    def Count(self):
        counts = 2 * self.tick if self.settings.mode == 3 else self.tick
        return (-counts) & 0xFFFF

    def Status(self):
        if self.settings.status_byte is not None:
            return self.settings.status_byte
        return 0x36 if self.settings.mode == 3 else 0x34

    def LimitEngaged(self):
        return any(p <= lim for p, lim in zip(self.position, self.settings.limits))

    def Out(self, port, value):
        self.tick += self.settings.access_ticks
        if port == 0x43:
            if value == 0xE2:
                self.status_pending = True
            elif value == 0x00:
                self.latched = self.Count()
                self.latched_left = 2
            else:
                self.faults += 1
        elif port == 0x3BC:
            self.data = value
        elif port == 0x3BE:
            if value == 1:
                self.control = 1
                self.ClockLatch()
            else:
                self.control = 0
        else:
            self.faults += 1

    def In(self, port):
        self.tick += self.settings.access_ticks
        if port == 0x40:
            if self.status_pending:
                self.status_pending = False
                return self.Status()
            if self.latched_left == 2:
                self.latched_left = 1
                return self.latched & 0xFF
            if self.latched_left == 1:
                self.latched_left = 0
                return self.latched >> 8
            self.faults += 1
            return self.Count() & 0xFF
        if port == 0x3BD:
            return 0x7F if self.LimitEngaged() else 0xFF
        if port == 0x3BC:
            return self.data
        if port == 0x3BE:
            return self.control
        self.faults += 1
        return 0xFF

    def ClockLatch(self):
        axis = self.data >> 6
        pattern = self.data & 0x3F
        if axis == 3:
            self.faults += 1
            return
        if axis == 2 and pattern in AUX_PATTERNS:
            self.aux = AUX_PATTERNS[pattern]
            return
        phase = PhaseOf(pattern)
        if phase is None:
            self.faults += 1
            return
        change = (phase - self.phase[axis]) % 8
        self.phase[axis] = phase
        if change == 1:
            self.position[axis] += 1
        elif change == 7:
            self.position[axis] -= 1
        elif change != 0:
            self.faults += 1


# --------------------------------------------------------------------------------------------
# The library.

TICK_SECONDS = 8.38e-7
WRAP_COUNTS = 0xFFFF
SENTINEL = 99999999
STUCK_READINGS = 65536
SETTLE_TICKS = 119
AUX_WAIT_TICKS = 196897
REFERENCE_PAUSE_TICKS = 656324
FIRST_DEVICE_HANDLE = 0x7C

# motionParams indices
AUX_PLUS, AUX_MINUS, START, MAX, REF, ACCEL, DECEL = range(7)


class Library:
    def __init__(self, table, start_speed, write):
        self.table = table
        self.write = write  # receives each trace line without its newline
        self.handle = 0  # 0: no handle, -1: invalid-handle value, else the device handle
        self.next_handle = FIRST_DEVICE_HANDLE
        self.counts_per_tick = 0
        self.params = [32000, -32000, start_speed, 500, 400, 100, 500]
        self.current_speed = 1.0
        self.decel_active = 0
        self.decel_rate = 0.0
        self.accel_distance = 0.0
        self.decel_distance = 0.0
        self.move_steps = 0
        self.pace_remainder = 0.0
        self.base_count = 0
        self.phase = [0, 0, 0]
        self.aux_code_given = 0
        self.ref_aux_done = [0, 0]
        self.reference_active = 0

    # -- port channel ---------------------------------------------------------------------------
    def outportb(self, port, value):
        value &= 0xFF
        self.write("out %x %02x" % (port, value))
        if self.handle > 0:
            self.table.Out(port, value)

    def inportb(self, port):
        value = self.table.In(port) if self.handle > 0 else port & 0xFF
        self.write("in %x %02x" % (port, value))
        return value

    def OpenPortDevice(self):
        # Only the port-free path: the device opens at once (the table allows one opening).
        if self.handle > 0:
            raise ValueError("the model does not cover a second openConn while open")
        self.handle = self.next_handle
        self.next_handle += 4
        return self.handle

    def ClosePortDevice(self):
        closed = 1 if self.handle > 0 else 0
        self.handle = 0
        return closed

    # -- timer ----------------------------------------------------------------------------------
    def ReadTimerCount(self):
        self.outportb(0x43, 0x00)
        low = self.inportb(0x40)
        high = self.inportb(0x40)
        return high * 256 + low

    def CalibrateTimer(self):
        self.outportb(0x43, 0xE2)
        mode = (self.inportb(0x40) >> 1) & 7
        if mode == 3:
            self.counts_per_tick = 2
            return 3
        if mode == 2:
            self.counts_per_tick = 1
            return 2
        first = self.ReadTimerCount()
        self.PaceStep(14)
        second = self.ReadTimerCount()
        diff = first - second
        if first < second:
            diff = first - second + WRAP_COUNTS
        result = (diff // 100 if diff >= 0 else -(-diff // 100)) * 100
        self.counts_per_tick = 2 if result > 30000 else 1
        return result

    def WaitTicks(self, ticks):
        b = self.ReadTimerCount()
        r = self.ReadTimerCount()
        target = Int32(ticks * self.counts_per_tick)
        if b < r:
            a, base, p = Int32(b - r + WRAP_COUNTS), r, 0
        else:
            a, base, p = 0, b, b - r
        if Int32(a + p) >= target:
            return
        if self.handle <= 0:
            return
        prev = SENTINEL
        same = 0
        while True:
            r = self.ReadTimerCount()
            same = same + 1 if r == prev else 1
            if r > base or r > prev:
                a = Int32(a + Int32(base - r + WRAP_COUNTS))
                base, p = r, 0
            else:
                p = base - r
            prev = r
            if same >= STUCK_READINGS or Int32(a + p) >= target:
                return

    # -- board ----------------------------------------------------------------------------------
    def WriteLatch(self, value):
        self.outportb(0x3BC, value)
        self.WaitTicks(SETTLE_TICKS)
        self.outportb(0x3BE, 1)
        self.outportb(0x3BE, 0)

    def SetAuxState(self, state):
        self.WriteLatch(155 if state == 0 else 135)
        self.WaitTicks(AUX_WAIT_TICKS)

    # -- ramp -----------------------------------------------------------------------------------
    def PlanRamp(self, n):
        self.decel_active = 0
        for index in (START, MAX, ACCEL, DECEL):
            self.params[index] = min(max(self.params[index], 1), 600)
        mp = self.params
        self.current_speed = float(mp[START])
        self.decel_rate = float(mp[DECEL])
        self.move_steps = n
        q = int(mp[MAX] / mp[ACCEL])
        self.accel_distance = float(Int32(q * q)) * (mp[ACCEL] * 0.5)
        self.decel_distance = float(Int32(mp[MAX] * mp[MAX])) / float(2 * mp[DECEL])
        half = n >> 1
        if n < self.decel_distance + self.accel_distance and half < self.decel_distance:
            self.decel_distance = n - self.decel_distance
        if n < self.accel_distance:
            self.decel_distance = float(half)
        self.base_count = self.ReadTimerCount()

    def PaceStep(self, steps_to_go):
        mp = self.params
        if self.reference_active == 1:
            speed = float(mp[REF])
        else:
            if self.decel_active == 0 and steps_to_go <= self.decel_distance:
                if self.accel_distance + self.decel_distance > self.move_steps and steps_to_go > 0:
                    rate = self.current_speed * self.current_speed / float(2 * steps_to_go)
                    self.decel_rate = rate if rate > 0 else 1.0
                self.pace_remainder = 0.0
                self.decel_active = 1
            speed = self.current_speed
        if not speed > 0:
            speed = 1.0
        interval = ((1.0 / speed) / TICK_SECONDS) * self.counts_per_tick

        r = self.ReadTimerCount()
        if r > self.base_count:
            a = float(self.base_count - r + WRAP_COUNTS)
            self.base_count = r
            p = 0.0
        else:
            a = 0.0
            p = float(self.base_count - r)
        if a + p < interval and self.handle > 0:
            prev = SENTINEL
            same = 0
            while True:
                r = self.ReadTimerCount()
                same = same + 1 if r == prev else 1
                if r > self.base_count or r > prev:
                    a = a + float(self.base_count - r + WRAP_COUNTS)
                    self.base_count = r
                    p = 0.0
                else:
                    p = float(self.base_count - r)
                prev = r
                if same >= STUCK_READINGS or not a + p < interval:
                    break
        self.base_count = r
        elapsed = a + p

        if self.reference_active == 1:
            return
        if self.decel_active == 0:
            if mp[MAX] <= self.current_speed:
                return
            inc = ((1.0 / mp[ACCEL]) / TICK_SECONDS) * self.counts_per_tick
            total = self.pace_remainder + elapsed
            if total < inc:
                self.pace_remainder = total
                return
            if inc == 0.0:
                inc = 1.0
            q = total / inc
            k = TruncInt32(q)
            self.pace_remainder = inc * (q - k)
            self.current_speed = self.current_speed + k
            return
        if not self.current_speed > 0:
            self.current_speed = float(mp[START])
            return
        dec = ((1.0 / self.decel_rate) / TICK_SECONDS) * self.counts_per_tick
        total = self.pace_remainder + elapsed
        if total < dec:
            self.pace_remainder = total
        else:
            if dec == 0.0:
                dec = 1.0
            q = total / dec
            k = TruncInt32(q)
            self.pace_remainder = dec * (q - k)
            self.current_speed = self.current_speed - k
        if steps_to_go > 0:
            rate = self.current_speed * self.current_speed / float(2 * steps_to_go)
            self.decel_rate = rate if rate > 0 else 1.0

    # -- vector move ----------------------------------------------------------------------------
    def StepAxis(self, code):
        axis = (code - 1) // 2
        if code % 2 == 1:
            phase = self.phase[axis] + 1
            self.phase[axis] = 0 if phase > 7 else phase
        else:
            phase = (self.phase[axis] - 1) & 0xFF
            self.phase[axis] = 7 if phase > 7 else phase
        self.WriteLatch(STEP_PATTERNS[self.phase[axis]] + 0x40 * axis)

    def MoveVector(self, x, y, z):
        self.aux_code_given = 1 if z in (-32000, 32000) else 0
        result = 3
        dist = [(-x) & 0xFFFFFFFF if x < 0 else x, (-y) & 0xFFFFFFFF if y < 0 else y, 0]
        codes = [1 if x >= 0 else 2, 3 if y >= 0 else 4, 5]
        if z in (-32000, 32000):
            state = 0 if z == -32000 else 1
            if self.reference_active == 0:
                self.SetAuxState(state)
                result = state
            elif self.ref_aux_done[state] == 0:
                self.SetAuxState(state)
                self.ref_aux_done[state] = 1
                result = state
        elif z == 32222:
            result = 2
        elif -32000 < z < 32000:
            dist[2] = -z if z < 0 else z
            codes[2] = 5 if z >= 0 else 6
        else:
            dist[2] = 32000 if z > 0 else (-z) & 0xFFFFFFFF
        if dist[0] >= dist[1] and dist[0] >= dist[2]:
            order = (0, 1, 2)
        elif dist[1] >= dist[2]:
            order = (1, 0, 2)
        else:
            order = (2, 0, 1)
        lead, first, second = order
        m, d1, d2 = dist[lead], dist[first], dist[second]
        if 0 < m < 32000:
            self.PlanRamp(m)
            acc1, acc2, to_go = d1, d2, m
            while True:
                self.StepAxis(codes[lead])
                acc1 = (acc1 + d1) & 0xFFFFFFFF
                acc2 = (acc2 + d2) & 0xFFFFFFFF
                to_go -= 1
                if acc1 >= m:
                    acc1 -= m
                    self.StepAxis(codes[first])
                if acc2 >= m:
                    acc2 -= m
                    self.StepAxis(codes[second])
                self.PaceStep(to_go)
                if to_go == 0:
                    break
        self.WriteLatch(HOLD_PATTERNS[self.phase[0]])
        self.WriteLatch(HOLD_PATTERNS[self.phase[1]] + 0x40)
        if result in (0, 1, 2) or self.aux_code_given == 1:
            return result
        self.WriteLatch(HOLD_PATTERNS[self.phase[2]] + 0x80)
        return 3

    # -- reference run --------------------------------------------------------------------------
    def LimitEngaged(self):
        return (self.inportb(0x3BD) & 0x80) == 0

    def Creep(self, move):
        count = 0
        while not self.LimitEngaged() and count < 32000:
            self.MoveVector(*move)
            count += 1

    def ReferenceRun(self, x, y, z):
        self.reference_active = 1
        if self.LimitEngaged():
            self.MoveVector(x, y, z)
        selector = 3
        if z == self.params[AUX_PLUS]:
            self.SetAuxState(0)
            selector = 0
        if z == self.params[AUX_MINUS]:
            self.SetAuxState(1)
            selector = 1
        carried = z if selector in (0, 1) else 0
        if x != 0:
            self.Creep((-1, 0, carried))
            self.MoveVector(x, 0, carried)
            self.WaitTicks(REFERENCE_PAUSE_TICKS)
        if y != 0:
            self.Creep((0, -1, carried))
            self.MoveVector(0, y, carried)
            self.WaitTicks(REFERENCE_PAUSE_TICKS)
        if z != 0 and -32000 < z < 32000:
            self.Creep((0, 0, -1))
            self.MoveVector(0, 0, z)
            self.WaitTicks(REFERENCE_PAUSE_TICKS)
        self.reference_active = 0

    # -- entries --------------------------------------------------------------------------------
    def Call(self, name, args):
        self.write("call " + " ".join([name] + [str(a) for a in args]))
        if name == "openConn":
            result = self.OpenPortDevice()
        elif name == "closeConn":
            result = self.ClosePortDevice()
        elif name == "initTimer":
            result = self.CalibrateTimer()
        elif name == "vectorOut":
            result = self.MoveVector(*args)
        elif name == "reference":
            self.ReferenceRun(*args)
            result = None
        else:
            raise ValueError("unknown call " + name)
        self.write("ret" if result is None else "ret %d" % result)


# --------------------------------------------------------------------------------------------
# Scripts, traces and comparison.

ARG_COUNTS = {"openConn": 0, "closeConn": 0, "initTimer": 0, "vectorOut": 3, "reference": 3}


def ReadScript(path):
    """Returns (table settings of the '# sim:' line, [(name, args)])."""
    sim = "clock=virtual"
    calls = []
    with open(path) as script:
        for number, line in enumerate(script, 1):
            text = line.strip()
            if text.startswith("# sim:"):
                sim = text[len("# sim:"):].strip()
                continue
            text = text.split("#", 1)[0].strip()
            if not text:
                continue
            words = text.split()
            if words[0] not in ARG_COUNTS or len(words) - 1 != ARG_COUNTS[words[0]]:
                raise ValueError("%s:%d: bad line %r" % (path, number, line))
            calls.append((words[0], [Int32(int(w)) for w in words[1:]]))
    return sim, calls


def ModelTrace(calls, sim, out, start_speed=300):
    out.write("# steplink trace 1\n")
    library = Library(Table(SimSettings(sim)), start_speed, lambda line: out.write(line + "\n"))
    for name, args in calls:
        library.Call(name, args)


def FirstDifference(expected_path, actual_path):
    """None when equal, else the first difference: line number, call, context of both."""
    with open(expected_path) as expected, open(actual_path) as actual:
        history = []
        call = "(before any call)"
        for number, (want, got) in enumerate(
            itertools.zip_longest(expected, actual, fillvalue="<end of trace>\n"), 1
        ):
            if want != got:
                after_want = [want] + list(itertools.islice(expected, 4))
                after_got = [got] + list(itertools.islice(actual, 4))
                return number, call, history[-8:], after_want, after_got
            if want.startswith("call "):
                call = want.strip()
            history.append(want)
            if len(history) > 64:
                del history[:-8]
    return None


def CountLines(path):
    with open(path, "rb") as trace:
        return sum(chunk.count(b"\n") for chunk in iter(lambda: trace.read(1 << 20), b""))


class ReplayLibrary(Library):
    """The model library with its reads answered from a recorded trace, in order: given the
    readings the library saw, every decision (poll counts, speeds, latch bytes, results) is the
    model's own, so a trace on real time can still be checked line for line. openConn's handle
    is the platform's (a Windows kernel handle under Wine), so it too comes from the trace."""

    def __init__(self, trace_path, start_speed, write):
        super().__init__(None, start_speed, write)
        self.reads = []
        self.handles = []
        after_open = False
        with open(trace_path) as trace:
            for line in trace:
                if line.startswith("in "):
                    _, port, value = line.split()
                    self.reads.append((int(port, 16), int(value, 16)))
                elif after_open and line.startswith("ret "):
                    self.handles.append(int(line.split()[1]))
                after_open = line.rstrip("\r\n") == "call openConn"
        self.next_read = 0

    def OpenPortDevice(self):
        handle = super().OpenPortDevice()
        if self.handles:
            self.handle = self.handles.pop(0)
            return self.handle
        return handle

    def outportb(self, port, value):
        self.write("out %x %02x" % (port, value & 0xFF))

    def inportb(self, port):
        if self.next_read >= len(self.reads):
            raise IndexError("the model reads port %x after the trace's last read" % port)
        _, value = self.reads[self.next_read]
        self.next_read += 1
        # A port that differs from the trace's shows as a differing line.
        self.write("in %x %02x" % (port, value))
        return value


def Replay(args):
    _, calls = ReadScript(args.script)
    workdir = args.workdir or tempfile.mkdtemp(prefix="steplink-replay-")
    os.makedirs(workdir, exist_ok=True)
    name = os.path.splitext(os.path.basename(args.trace))[0]
    model_trace = os.path.join(workdir, name + ".replay.trace")
    with open(model_trace, "w") as out:
        out.write("# steplink trace 1\n")
        library = ReplayLibrary(args.trace, args.start_speed, lambda line: out.write(line + "\n"))
        try:
            for call, call_args in calls:
                library.Call(call, call_args)
        except IndexError as error:
            out.write("<model stopped: %s>\n" % error)
    difference = FirstDifference(model_trace, args.trace)
    if difference is None:
        print("%s: replays line for line (%d lines, %d reads)"
              % (name, CountLines(model_trace), len(library.reads)))
        os.remove(model_trace)
        return 0
    number, call, before, want, got = difference
    print("%s: first difference at line %d, in %s (model %s, trace %s)"
          % (name, number, call, model_trace, args.trace))
    for line in before:
        print("    " + line.rstrip("\n"))
    for want_line, got_line in itertools.zip_longest(want, got, fillvalue=""):
        print("  model %-24s trace %s" % (want_line.rstrip("\n"), got_line.rstrip("\n")))
    return 1


def Compare(args):
    failures = 0
    workdir = args.workdir or tempfile.mkdtemp(prefix="steplink-model-")
    os.makedirs(workdir, exist_ok=True)
    for script in args.scripts:
        name = os.path.splitext(os.path.basename(script))[0]
        sim, calls = ReadScript(script)
        library_trace = os.path.join(workdir, name + ".library.trace")
        model_trace = os.path.join(workdir, name + ".model.trace")
        command = [args.runner, "run", script, "--sim", sim, "--trace", library_trace, "--quiet"]
        if args.library:
            command += ["--library", args.library]
        run = subprocess.run(command, capture_output=True, text=True)
        # Status 1 also means "the table saw a fault", which some scripts provoke on purpose
        # (latch writes before calibration skip their settle wait); the trace still tells.
        if run.returncode not in (0, 1) or not os.path.exists(library_trace):
            print("%s: runner failed with status %d\n%s%s"
                  % (name, run.returncode, run.stdout, run.stderr))
            failures += 1
            continue
        with open(model_trace, "w") as out:
            ModelTrace(calls, sim, out, args.start_speed)
        difference = FirstDifference(model_trace, library_trace)
        if difference is None:
            print("%s: same trace (%d lines)" % (name, CountLines(model_trace)))
            os.remove(model_trace)  # a long move's trace runs to tens of megabytes
            os.remove(library_trace)
            continue
        failures += 1
        number, call, before, want, got = difference
        print("%s: first difference at line %d, in %s (model %s, library %s)"
              % (name, number, call, model_trace, library_trace))
        for line in before:
            print("    " + line.rstrip("\n"))
        for want_line, got_line in itertools.zip_longest(want, got, fillvalue=""):
            print("  model %-24s library %s" % (want_line.rstrip("\n"), got_line.rstrip("\n")))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    trace = commands.add_parser("trace")
    trace.add_argument("script")
    trace.add_argument("--sim")
    trace.add_argument("--out")
    trace.add_argument("--start-speed", type=int, default=300)
    compare = commands.add_parser("compare")
    compare.add_argument("--runner", required=True)
    compare.add_argument("--library")
    compare.add_argument("--workdir")
    compare.add_argument("--start-speed", type=int, default=300,
                         help="the library variant's start speed (300 standard, 200 start200)")
    compare.add_argument("scripts", nargs="+")
    replay = commands.add_parser("replay")
    replay.add_argument("script")
    replay.add_argument("trace")
    replay.add_argument("--workdir")
    replay.add_argument("--start-speed", type=int, default=300)
    args = parser.parse_args()
    if args.command == "compare":
        return Compare(args)
    if args.command == "replay":
        return Replay(args)
    sim, calls = ReadScript(args.script)
    sim = args.sim or sim
    if args.out:
        with open(args.out, "w") as out:
            ModelTrace(calls, sim, out, args.start_speed)
    else:
        ModelTrace(calls, sim, sys.stdout, args.start_speed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
