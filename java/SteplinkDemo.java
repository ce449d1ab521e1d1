// The demo job: what a user's application does with the table. Opens the connection, calibrates
// the timer, homes X, Y and Z, runs a rectangle and a diagonal with a Z move between, closes.
// Calls only JavaToC; watches the simulated table's status block and runs the runner's plot.

import java.io.IOException;
import java.io.InputStream;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.nio.ByteOrder;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import steplink.StatusLayout;

/**
 * Runs the demo job on the table and reports each call, the table's final state and the plot.
 *
 * <p>Settings: the environment variable STEPLINK_SIM (the simulated table's keys; status=NAME
 * lets the demo watch the table, record=FILE lets it plot the job), -Dsteplink.runner=PATH (the
 * steplink runner, for the plot), -Dsteplink.svg=PATH (where the plot goes, default demo.svg),
 * -Dsteplink.progress=lines|inline (how progress is shown; inline on a terminal).
 *
 * <p>Exit status 0 when every call gave the result the job expects and the table ends where the
 * job says; 1 otherwise.
 */
public final class SteplinkDemo {
  /** What one line of the job calls. */
  enum Call {
    OPEN,
    TIMER,
    REFERENCE,
    VECTOR,
    CLOSE
  }

  /**
   * One call of the job: the arguments of reference/vectorOut, the result the job expects (null:
   * not checked), and what it does, for the user.
   */
  record Step(Call call, int x, int y, int z, Integer expected, String purpose) {
    static Step of(Call call, Integer expected, String purpose) {
      return new Step(call, 0, 0, 0, expected, purpose);
    }

    static Step reference(int x, int y, int z, String purpose) {
      return new Step(Call.REFERENCE, x, y, z, null, purpose);
    }

    static Step vector(int x, int y, int z, int expected, String purpose) {
      return new Step(Call.VECTOR, x, y, z, expected, purpose);
    }

    String text() {
      return switch (call) {
        case OPEN -> "openConn()";
        case TIMER -> "initTimer()";
        case CLOSE -> "closeConn()";
        case REFERENCE -> String.format(Locale.ROOT, "reference(%d, %d, %d)", x, y, z);
        case VECTOR -> String.format(Locale.ROOT, "vectorOut(%d, %d, %d)", x, y, z);
      };
    }
  }

  /**
   * The job. Lengths are planned for the realtime clock: about 25 s in all at start speed 300,
   * top speed 500 and reference speed 400 steps/s. jobs/demo.steplink holds the same calls.
   */
  static final List<Step> JOB =
      List.of(
          Step.of(Call.OPEN, null, "open the port device"),
          Step.of(Call.TIMER, null, "find how the interval timer counts"),
          Step.reference(50, 50, 20, "home X, Y, Z on the limit switch; back off 50, 50, 20"),
          Step.vector(1200, 0, 0, 3, "rectangle: +X"),
          Step.vector(0, 800, 0, 3, "rectangle: +Y"),
          Step.vector(-1200, 0, 0, 3, "rectangle: -X"),
          Step.vector(0, -800, 0, 3, "rectangle: -Y, back at the corner"),
          Step.vector(0, 0, 300, 3, "raise Z"),
          Step.vector(0, 0, JavaToC.AUX_ON, 1, "auxiliary output on"),
          Step.vector(1000, 600, JavaToC.KEEP_Z_LATCH, 2, "diagonal, Z latch kept"),
          Step.vector(0, 0, JavaToC.AUX_OFF, 0, "auxiliary output off"),
          Step.vector(0, 0, -300, 3, "lower Z"),
          Step.of(Call.CLOSE, null, "close the port device"));

  /** Switch positions of the simulated table when STEPLINK_SIM does not set them. */
  static final int[] DEFAULT_LIMITS = {-200, -150, -100};

  /** Where the job leaves X, Y, Z: each homed axis at its switch plus its back-off, then moves. */
  static int[] expectedPositions(List<Step> job, int[] limits) {
    int[] pos = new int[3];
    for (Step step : job) {
      if (step.call() == Call.REFERENCE) {
        int[] backOff = {step.x(), step.y(), step.z()};
        for (int axis = 0; axis < 3; axis++) {
          boolean homesAxis = axis < 2 || (backOff[2] > -32000 && backOff[2] < 32000);
          if (backOff[axis] != 0 && homesAxis) pos[axis] = limits[axis] + backOff[axis];
        }
      } else if (step.call() == Call.VECTOR) {
        boolean zDistance = step.z() > -32000 && step.z() < 32000;
        int[] d = {step.x(), step.y(), zDistance ? step.z() : 0};
        boolean refused = !zDistance && step.z() != 32000 && step.z() != -32000
            && step.z() != JavaToC.KEEP_Z_LATCH;
        for (int axis = 0; axis < 3 && !refused; axis++) {
          if (Math.abs((long) d[axis]) >= 32000) refused = true;
        }
        for (int axis = 0; axis < 3 && !refused; axis++) pos[axis] += d[axis];
      }
    }
    return pos;
  }

  /** The key=value pairs of STEPLINK_SIM (empty when unset). */
  static Map<String, String> simSettings() {
    Map<String, String> settings = new HashMap<>();
    String value = System.getenv("STEPLINK_SIM");
    if (value == null) return settings;
    for (String pair : value.split(",")) {
      int eq = pair.indexOf('=');
      if (eq > 0) settings.put(pair.substring(0, eq).trim(), pair.substring(eq + 1).trim());
    }
    return settings;
  }

  static int[] limits(Map<String, String> settings) {
    int[] limits = DEFAULT_LIMITS.clone();
    String[] keys = {"limit-x", "limit-y", "limit-z"};
    for (int axis = 0; axis < 3; axis++) {
      String v = settings.get(keys[axis]);
      if (v != null) limits[axis] = Integer.decode(v);
    }
    return limits;
  }

  /**
   * The simulated table's live status block (256 bytes, little-endian, in /dev/shm; offsets from
   * steplink.StatusLayout, generated from the contract header at build time), read without locks
   * under its sequence lock: the sequence and every field are read with acquire loads, a copy
   * taken while the sequence was odd or moved is taken again.
   */
  static final class TableStatus {
    static final int MAGIC = StatusLayout.MAGIC;
    static final int VERSION = StatusLayout.VERSION;
    static final int SIZE = StatusLayout.SIZE;
    static final int TABLE = StatusLayout.TABLE; // the table section; its sequence comes first
    /** Seconds per interval-timer tick, as the library counts them. */
    static final double TICK_SECONDS = StatusLayout.TICK_SECONDS;

    static final VarHandle INT =
        MethodHandles.byteBufferViewVarHandle(int[].class, ByteOrder.LITTLE_ENDIAN);
    static final VarHandle LONG =
        MethodHandles.byteBufferViewVarHandle(long[].class, ByteOrder.LITTLE_ENDIAN);

    /** One consistent reading of the table section. */
    record Snapshot(
        long sequence,
        int x,
        int y,
        int z,
        int aux,
        long simTicks,
        long totalSteps,
        int faults,
        boolean limitEngaged) {
      double seconds() {
        return simTicks * TICK_SECONDS;
      }
    }

    private final MappedByteBuffer block;

    private TableStatus(MappedByteBuffer block) {
      this.block = block;
    }

    private int intAt(int offset) {
      return (int) INT.getAcquire(block, offset);
    }

    private long longAt(int offset) {
      return (long) LONG.getAcquire(block, offset);
    }

    /** The block at path, or null while it does not exist yet or is not a status block. */
    static TableStatus open(Path path) {
      try (FileChannel channel = FileChannel.open(path, StandardOpenOption.READ)) {
        if (channel.size() != SIZE) return null;
        TableStatus status = new TableStatus(channel.map(FileChannel.MapMode.READ_ONLY, 0, SIZE));
        if (status.intAt(StatusLayout.MAGIC_OFFSET) != MAGIC
            || status.intAt(StatusLayout.VERSION_OFFSET) != VERSION) {
          return null;
        }
        return status;
      } catch (IOException e) {
        return null;
      }
    }

    /** The block's owner process id (from the header). */
    long ownerPid() {
      return Integer.toUnsignedLong(intAt(StatusLayout.OWNER_PID));
    }

    /** A consistent copy, or null when the writer stayed inside an update (it died there). */
    Snapshot read() {
      for (int attempt = 0; attempt < 100_000; attempt++) {
        long before = longAt(TABLE);
        if ((before & 1) != 0) {
          Thread.onSpinWait();
          continue;
        }
        Snapshot s =
            new Snapshot(
                before,
                intAt(StatusLayout.TABLE_X),
                intAt(StatusLayout.TABLE_Y),
                intAt(StatusLayout.TABLE_Z),
                intAt(StatusLayout.TABLE_AUX),
                longAt(StatusLayout.TABLE_TICKS),
                longAt(StatusLayout.TABLE_TOTAL_STEPS),
                intAt(StatusLayout.TABLE_FAULTS),
                intAt(StatusLayout.TABLE_LIMIT_ENGAGED) != 0);
        if (longAt(TABLE) == before) return s;
        Thread.onSpinWait();
      }
      return null;
    }
  }

  /**
   * Prints where the table stands while a call runs: a daemon thread that polls the status block
   * a few times a second. The library's calls block the main thread, so this is the only sign of
   * life during a long move.
   */
  static final class ProgressWatch implements Runnable {
    private static final long PERIOD_MS = 300;
    private final Path blockPath;
    private final boolean inline;
    private volatile boolean callRunning;
    private TableStatus status;
    private boolean printedInline;
    private long lastSequence = -1;

    ProgressWatch(Path blockPath, boolean inline) {
      this.blockPath = blockPath;
      this.inline = inline;
    }

    synchronized void callStarted() {
      callRunning = true;
      lastSequence = -1;
    }

    /** Ends the progress display of the call; the caller prints the result next. */
    synchronized void callEnded() {
      callRunning = false;
      if (printedInline) System.out.print("\r" + " ".repeat(80) + "\r");
      printedInline = false;
    }

    /** The latest snapshot, or null when the table publishes none. */
    synchronized TableStatus.Snapshot snapshot() {
      if (status == null) status = blockPath != null ? TableStatus.open(blockPath) : ownBlock();
      return status == null ? null : status.read();
    }

    /**
     * The block the simulated table publishes for this process when STEPLINK_SIM names none:
     * /dev/shm/steplink-proc-PID-<16 hex>, recording this process as its owner; or null.
     */
    private static TableStatus ownBlock() {
      long pid = ProcessHandle.current().pid();
      try (var list = Files.newDirectoryStream(Path.of("/dev/shm"), "steplink-proc-" + pid + "-*")) {
        for (Path p : list) {
          if (!p.getFileName().toString().matches("steplink-proc-" + pid + "-[0-9a-f]{16}")) {
            continue;
          }
          Object me = Files.getAttribute(Path.of("/proc/self"), "unix:uid");
          if (!me.equals(Files.getAttribute(p, "unix:uid", LinkOption.NOFOLLOW_LINKS))) continue;
          TableStatus status = TableStatus.open(p);
          if (status != null && status.ownerPid() == pid) return status;
        }
      } catch (IOException | RuntimeException e) {
        return null;
      }
      return null;
    }

    @Override
    public void run() {
      try {
        while (true) {
          Thread.sleep(PERIOD_MS);
          show();
        }
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    }

    private synchronized void show() {
      if (!callRunning) return;
      TableStatus.Snapshot s = snapshot();
      if (s == null || s.sequence() == lastSequence) return;
      lastSequence = s.sequence();
      String line =
          String.format(
              Locale.ROOT,
              "        at X %6d  Y %6d  Z %6d   %6.1f s table time%s",
              s.x(),
              s.y(),
              s.z(),
              s.seconds(),
              s.limitEngaged() ? "  [limit]" : "");
      if (inline) {
        System.out.print("\r" + line);
        printedInline = true;
      } else {
        System.out.println(line);
      }
      System.out.flush();
    }
  }

  private static int run(Step step) {
    return switch (step.call()) {
      case OPEN -> JavaToC.openConn();
      case TIMER -> JavaToC.initTimer();
      case CLOSE -> JavaToC.closeConn();
      case VECTOR -> JavaToC.vectorOut(step.x(), step.y(), step.z());
      case REFERENCE -> {
        JavaToC.reference(step.x(), step.y(), step.z());
        yield 0;
      }
    };
  }

  private static String meaning(Step step, int result) {
    return switch (step.call()) {
      case OPEN -> result == JavaToC.OPEN_FAILED ? "FAILED: device not open" : "device open";
      case TIMER -> (result == 2 || result == 3)
          ? "counter 0 runs in mode " + result
          : "measured " + result + " counts";
      case CLOSE -> result != 0 ? "device closed" : "FAILED: no device was open";
      case REFERENCE -> "homed";
      case VECTOR -> switch (result) {
        case 0 -> "auxiliary state 0 set";
        case 1 -> "auxiliary state 1 set";
        case 2 -> "moved, Z latch kept";
        case 3 -> "moved";
        default -> "unexpected result";
      };
    };
  }

  /** Runs the runner's plot of the record; returns the SVG's path, or null (and says why). */
  private static Path plot(String runner, String record, Path svg) {
    if (runner == null || runner.isEmpty() || record == null) {
      List<String> missing = new java.util.ArrayList<>();
      if (record == null) missing.add("the table wrote no record (record=FILE in STEPLINK_SIM)");
      if (runner == null || runner.isEmpty()) {
        // The jar's launcher keeps the record in a folder it removes at the end: name none then.
        boolean temporary = Boolean.getBoolean("steplink.demo.temporaryRecord");
        missing.add("no steplink runner was given to draw "
            + (record == null ? "it"
                : temporary ? "the record of this run (removed with the demo's temporary folder)"
                            : "the record " + record)
            + " (-Dsteplink.runner=PATH)");
      }
      System.out.println("No plot: " + String.join("; ", missing) + ".");
      return null;
    }
    try {
      Process p =
          new ProcessBuilder(runner, "plot", record, svg.toString())
              .redirectErrorStream(true)
              .start();
      String output;
      try (InputStream in = p.getInputStream()) {
        output = new String(in.readAllBytes(), StandardCharsets.UTF_8);
      }
      if (p.waitFor() != 0 || !Files.isRegularFile(svg)) {
        System.out.println("No plot: " + runner + " plot failed:");
        System.out.print(output.indent(2));
        return null;
      }
      return svg;
    } catch (IOException e) {
      System.out.println("No plot: cannot run " + runner + ": " + e.getMessage());
      return null;
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      return null;
    }
  }

  public static void main(String[] args) {
    Map<String, String> settings = simSettings();
    String statusName = settings.get("status");
    Path blockPath = statusName == null ? null : Path.of("/dev/shm", statusName);
    String progress = System.getProperty("steplink.progress", "");
    boolean inline = progress.isEmpty() ? System.console() != null : progress.equals("inline");
    ProgressWatch watch = new ProgressWatch(blockPath, inline);
    Thread watcher = new Thread(watch, "table-progress");
    watcher.setDaemon(true);
    watcher.start();

    System.out.printf(
        Locale.ROOT,
        "steplink demo: %d calls on the %s table (%s clock)%n",
        JOB.size(),
        statusName == null ? "attached" : "simulated",
        settings.getOrDefault("clock", "realtime"));
    boolean virtualClock = "virtual".equals(settings.get("clock"));
    boolean ok = true;
    long started = System.nanoTime();
    for (int i = 0; i < JOB.size(); i++) {
      Step step = JOB.get(i);
      System.out.printf(
          Locale.ROOT, "[%2d/%d] %-30s %s%n", i + 1, JOB.size(), step.text(), step.purpose());
      watch.callStarted();
      TableStatus.Snapshot before = watch.snapshot();
      long t0 = System.nanoTime();
      int result = run(step);
      watch.callEnded();
      TableStatus.Snapshot after = watch.snapshot();
      // The virtual clock runs far faster than the wall: show table time there. The status block
      // moves with steps and aux changes only, so a call's final wait is not in it.
      boolean tableTime = virtualClock && before != null && after != null;
      double seconds =
          tableTime ? after.seconds() - before.seconds() : (System.nanoTime() - t0) / 1e9;
      boolean stepOk =
          (step.expected() == null || step.expected() == result)
              && !meaning(step, result).startsWith("FAILED");
      String resultText = step.call() == Call.REFERENCE ? "done" : Integer.toString(result);
      System.out.printf(
          Locale.ROOT,
          "        -> %-6s %s (%.1f s%s)%s%n",
          resultText,
          meaning(step, result),
          seconds,
          tableTime ? " table time" : "",
          stepOk ? "" : "   expected " + step.expected());
      ok &= stepOk;
      if (step.call() == Call.OPEN && result == JavaToC.OPEN_FAILED) {
        System.out.println("The port device did not open; the job stops here.");
        System.exit(1);
      }
    }
    System.out.printf(Locale.ROOT, "Job done in %.1f s.%n", (System.nanoTime() - started) / 1e9);

    int[] expected = expectedPositions(JOB, limits(settings));
    TableStatus.Snapshot end = watch.snapshot();
    if (end == null) {
      System.out.println("Table: no status block to read (the simulated table publishes one per"
          + " process, or the one status=NAME in STEPLINK_SIM names).");
    } else {
      boolean there = end.x() == expected[0] && end.y() == expected[1] && end.z() == expected[2];
      System.out.printf(
          Locale.ROOT,
          "Table: X %d  Y %d  Z %d, auxiliary state %s; %d steps, %d faults, %.1f s table time%n",
          end.x(),
          end.y(),
          end.z(),
          end.aux() < 0 ? "none set" : Integer.toString(end.aux()),
          end.totalSteps(),
          end.faults(),
          end.seconds());
      System.out.printf(
          Locale.ROOT,
          "The job ends at X %d  Y %d  Z %d: %s%n",
          expected[0],
          expected[1],
          expected[2],
          there ? "the table is there" : "THE TABLE IS ELSEWHERE");
      ok &= there && end.faults() == 0;
    }

    Path svg = Path.of(System.getProperty("steplink.svg", "demo.svg")).toAbsolutePath();
    Path written = plot(System.getProperty("steplink.runner"), settings.get("record"), svg);
    if (written != null) System.out.println("Plot of the job written to " + written);
    System.out.println(ok ? "Demo finished: all results as expected." : "Demo finished WITH ERRORS.");
    System.out.flush();
    System.exit(ok ? 0 : 1);
  }
}
