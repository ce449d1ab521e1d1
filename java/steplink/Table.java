// The typed facade over JavaToC for code in named packages: open/close as an AutoCloseable,
// homing, relative and absolute moves of any length, the auxiliary output, tracked positions.
// Reaches JavaToC (default package) through Natives; one native call at a time; ProgressFeed
// reports the calls to a listener.
package steplink;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.locks.ReentrantLock;

/**
 * The stepper table, driven through the steplink library's {@code JavaToC} entries.
 *
 * <pre>{@code
 * try (Table table = Table.open()) {
 *   table.home(50, 50, 20);          // reference run, back off 50, 50, 20 steps
 *   table.moveBy(40000, -1200, 0);   // any length: split into calls below 32000 steps
 *   table.auxOn();
 *   table.moveTo(100, 100, 20);      // absolute, from the switch positions
 *   table.auxOff();
 * }
 * }</pre>
 *
 * <p><b>Units and time.</b> All distances and positions are motor steps. Every method blocks the
 * calling thread until the table stands still; the library busy-waits on the interval timer for
 * the whole time. A move runs at most 500 steps/s on its leading axis (it starts at 300 or 200
 * steps/s, by the library variant, and ramps up), so 32000 steps take a little over a minute; a
 * reference run creeps at 400 steps/s (up to 32000 steps per axis) and pauses 0.55 s per axis;
 * setting an auxiliary state takes 0.165 s.
 *
 * <p><b>Positions.</b> The library keeps no positions; this object adds up the steps it commands.
 * After {@link #home} a homed axis counts from its limit switch (the back-off distance is its
 * position); before that, and for axes not homed, from where the axis stood when the table was
 * opened. {@link #moveTo} moves relative to these counts. A new {@code Table} starts from
 * (0, 0, 0) again.
 *
 * <p><b>One call at a time.</b> The library holds no lock and its state is process-wide, so a
 * {@code Table} serializes its calls: each method holds the table's lock for all of the native
 * calls it makes, and other threads wait. Only one {@code Table} can be open in a JVM at a time,
 * because the port device is exclusive. The lock covers {@code Table} users only: calling
 * {@code JavaToC} directly while a {@code Table} is open is at the caller's risk (the tracked
 * positions and auxiliary state no longer match the table, and two overlapping calls corrupt each
 * other's timing). {@link #close} waits for a call in progress, which for a long move or a
 * reference run can be minutes.
 *
 * <p><b>Watching a move.</b> A {@link ProgressListener} set with {@link #setProgressListener}
 * hears of every library call as it starts and ends and, on a table that publishes a live status
 * block (the simulated table), where the table is and how fast it moves every 100 ms while a call
 * runs: no second thread of the caller's, no polling into the table's lock.
 *
 * <p>The library is loaded on first use as {@link NativeLoader} describes; a failed load becomes a
 * {@link TableException} from {@link #open}.
 */
public final class Table implements AutoCloseable {
  /** The auxiliary state of the Z latch that this table keeps there. */
  public enum AuxState {
    /** No auxiliary state set since the table was opened; the Z latch holds Z's hold pattern. */
    NONE,
    /** Auxiliary state 1, set by {@link #auxOn} (vectorOut's z = +32000). */
    ON,
    /** Auxiliary state 0, set by {@link #auxOff} (vectorOut's z = -32000). */
    OFF
  }

  /** The largest distance one vectorOut call accepts on an axis, in steps. */
  public static final int MAX_STEPS_PER_CALL = 31999;

  /** The largest distance one moveBy/moveTo accepts on an axis: 2^40 steps. */
  static final long MAX_STEPS_PER_MOVE = 1L << 40;

  /** vectorOut's and openConn's special values, read from JavaToC's constants. */
  record Codes(int auxOn, int auxOff, int keepZLatch, int openFailed) {}

  /** One vectorOut call and the result it gives when it did what was asked. */
  record Call(int x, int y, int z, int expected) {}

  private static final Object OPEN_LOCK = new Object();
  private static Table openTable;
  private static boolean opening;

  private final Natives natives;
  private final int timerMode;
  private final ReentrantLock callLock = new ReentrantLock();
  private final ProgressFeed feed = new ProgressFeed();
  private boolean closed;
  private long x;
  private long y;
  private long z;
  private volatile Position tracked = Position.ORIGIN;
  private volatile AuxState aux = AuxState.NONE;

  private Table(Natives natives, int timerMode) {
    this.natives = natives;
    this.timerMode = timerMode;
  }

  /**
   * Opens the table: {@code openConn}, then {@code initTimer}. Blocks while the port driver comes
   * up (on Windows, starting or installing its service can take tens of seconds) and for the timer
   * calibration (milliseconds).
   *
   * @return the open table, at position (0, 0, 0), with no auxiliary state
   * @throws TableException when the library cannot be loaded (the message names every place
   *     tried), when {@code openConn} gives 255 (the port device did not open), when
   *     {@code initTimer} finds that counter 0 does not count, or when another {@code Table} is
   *     open in this JVM
   */
  public static Table open() throws TableException {
    synchronized (OPEN_LOCK) {
      if (openTable != null || opening) {
        throw new TableException(
            "a Table is already open in this JVM; close it first (the port device is exclusive)");
      }
      opening = true;
    }
    Table table = null;
    try {
      Natives n = Natives.get();
      int handle = n.openConn();
      if (handle == n.codes.openFailed()) {
        throw new TableException(
            "openConn gave " + handle + ": the port device \\\\.\\PortTalk did not open. The"
                + " library printed why on standard output (lines starting with \"PortTalk:\")."
                + " Check that the PortTalk driver is installed and running (starting it needs"
                + " administrator rights once) and that PortTalk.sys is in the current folder;"
                + " on Linux, and on 64-bit Windows when it is set, check STEPLINK_SIM (the"
                + " simulated table's settings; the steplink-sim: line on standard error says"
                + " what is wrong)");
      }
      int mode = n.initTimer();
      if (mode == 0) {
        n.closeConn();
        throw new TableException(
            "initTimer gave 0: counter 0 of the interval timer did not count, so no move would"
                + " be paced. Check that the PortTalk driver reaches the hardware and that the"
                + " machine's 8254 timer runs; the device has been closed again");
      }
      table = new Table(n, mode);
      return table;
    } finally {
      synchronized (OPEN_LOCK) {
        opening = false;
        if (table != null) openTable = table;
      }
    }
  }

  /**
   * Homes the axes with a nonzero back-off onto the limit switch, X then Y then Z, and backs each
   * off by its distance ({@code reference(x, y, z)}). Afterwards a homed axis's position is its
   * back-off distance; an axis given 0 is not homed and keeps its position. Blocks about
   * (creep steps + back-off) / 400 s plus 0.55 s per homed axis; a creep that finds no switch
   * stops after 32000 steps (80 s), and the positions are then not from the switch. When an
   * auxiliary state is set, it is set again after the run (the run's moves replace it on the Z
   * latch), 0.165 s more. Never passes an auxiliary code to the library: z is a distance here.
   * With all three 0 nothing happens.
   *
   * @param backOffX X back-off in steps, -31999..31999 (0: X not homed)
   * @param backOffY Y back-off in steps, -31999..31999 (0: Y not homed)
   * @param backOffZ Z back-off in steps, -31999..31999 (0: Z not homed)
   * @throws IllegalArgumentException for a distance of 32000 steps or more
   * @throws IllegalStateException after {@link #close}
   * @throws TableException when re-setting the auxiliary state gives a result it never gives
   */
  public void home(int backOffX, int backOffY, int backOffZ) throws TableException {
    for (int d : new int[] {backOffX, backOffY, backOffZ}) {
      if (Math.abs((long) d) > MAX_STEPS_PER_CALL) {
        throw new IllegalArgumentException(
            "back-off " + d + " steps: must be within -31999..31999 (0 leaves the axis out)");
      }
    }
    if (backOffX == 0 && backOffY == 0 && backOffZ == 0) return;
    lock();
    try {
      checkOpen();
      String op = "home(" + backOffX + ", " + backOffY + ", " + backOffZ + ")";
      List<Call> after = reapplyAux(aux, natives.codes);
      feed.started(op, "reference(" + backOffX + ", " + backOffY + ", " + backOffZ + ")", 1,
          1 + after.size(), tracked);
      natives.reference(backOffX, backOffY, backOffZ);
      if (backOffX != 0) x = backOffX;
      if (backOffY != 0) y = backOffY;
      if (backOffZ != 0) z = backOffZ;
      publish();
      feed.ended(tracked);
      for (int i = 0; i < after.size(); i++) run(after.get(i), op, i + 2, 1 + after.size());
    } finally {
      callLock.unlock();
    }
  }

  /**
   * Moves by relative step counts on a straight line. A distance of 32000 steps or more on an
   * axis is split into equal parts that each stay below 32000 (every part is one library move
   * with its own speed ramp, so the table slows down and speeds up between parts). While an
   * auxiliary state is set, moves without Z motion keep it on the Z latch (z = 32222); a move with
   * Z motion replaces it with Z's hold pattern, so it is set again right after the move, 0.165 s
   * more. Blocks for the whole move: at least leading steps / 500 s.
   *
   * @param dx X distance in steps, either sign
   * @param dy Y distance in steps, either sign
   * @param dz Z distance in steps, either sign
   * @throws IllegalStateException after {@link #close}
   * @throws TableException when the library gives a result a move never gives; the position then
   *     counts the parts that completed
   */
  public void moveBy(int dx, int dy, int dz) throws TableException {
    lock();
    try {
      checkOpen();
      moveByLocked("moveBy(" + dx + ", " + dy + ", " + dz + ")", dx, dy, dz);
    } finally {
      callLock.unlock();
    }
  }

  /**
   * Moves to an absolute position, counted as {@link #position} counts: from the switches for
   * homed axes, from where the table was opened before {@link #home}. Same splitting, auxiliary
   * handling and blocking as {@link #moveBy}.
   *
   * @param x target X in steps
   * @param y target Y in steps
   * @param z target Z in steps
   * @throws IllegalArgumentException when an axis would move 2^40 steps or more
   * @throws IllegalStateException after {@link #close}
   * @throws TableException as {@link #moveBy}
   */
  public void moveTo(long x, long y, long z) throws TableException {
    lock();
    try {
      checkOpen();
      moveByLocked("moveTo(" + x + ", " + y + ", " + z + ")", distance(x, this.x),
          distance(y, this.y), distance(z, this.z));
    } finally {
      callLock.unlock();
    }
  }

  private static long distance(long target, long from) {
    try {
      return Math.subtractExact(target, from);
    } catch (ArithmeticException e) {
      throw new IllegalArgumentException("target " + target + " is out of reach from " + from);
    }
  }

  /**
   * The position this table has tracked, in steps (see the class description), as it stands after
   * the last library call that completed. Never blocks: while a move runs on another thread it
   * gives the position before that move's current part (a {@link ProgressListener} sees the
   * table move).
   *
   * @return the tracked position
   */
  public Position position() {
    return tracked;
  }

  /**
   * Sets the listener that watches this table's operations while they run, replacing any
   * earlier one; null removes it. It is called, never two calls at once:
   *
   * <ul>
   *   <li>just before and just after every library call an operation makes ({@link
   *       Progress.Stage#STARTED}, {@link Progress.Stage#ENDED}), on the thread that called the
   *       operation, with the tracked position: on every platform, with or without a status block;
   *   <li>every 100 ms of wall time while a call runs ({@link Progress.Stage#RUNNING}), on the
   *       table's daemon thread {@code steplink-progress}, with the position and speed read from
   *       the table's live status block, where there is one: the simulated table's block named by
   *       {@code status=NAME} in {@code STEPLINK_SIM}, else the one it publishes for this process
   *       ({@code /dev/shm/steplink-proc-PID-*}, owned by this user and recording this process as
   *       its owner). Without a block (another table, Windows) there are no RUNNING reports.
   * </ul>
   *
   * <p>The calls do not take the table's lock and the library gains no call for them. A listener
   * should return quickly (a slow one delays the end of each call by its own time); it must not
   * call this table's operations ({@link #moveBy} and the others throw
   * {@link IllegalStateException} when called from it); {@link #position} and {@link #auxState}
   * are fine. A listener that throws is reported on standard error and removed.
   *
   * @param listener the listener, or null for none
   */
  public void setProgressListener(ProgressListener listener) {
    feed.setListener(listener);
  }

  /**
   * Sets auxiliary state 1 of the Z latch ({@code vectorOut(0, 0, 32000)}); it stays set through
   * every later move (see {@link #moveBy}) until {@link #auxOff}. Blocks 0.165 s.
   *
   * @throws IllegalStateException after {@link #close}
   * @throws TableException when the library does not report the state as set
   */
  public void auxOn() throws TableException {
    setAux(AuxState.ON);
  }

  /**
   * Sets auxiliary state 0 of the Z latch ({@code vectorOut(0, 0, -32000)}); like
   * {@link #auxOn}, it stays set through later moves. Blocks 0.165 s.
   *
   * @throws IllegalStateException after {@link #close}
   * @throws TableException when the library does not report the state as set
   */
  public void auxOff() throws TableException {
    setAux(AuxState.OFF);
  }

  private void setAux(AuxState state) throws TableException {
    lock();
    try {
      checkOpen();
      List<Call> calls = reapplyAux(state, natives.codes);
      String op = state == AuxState.ON ? "auxOn()" : "auxOff()";
      for (int i = 0; i < calls.size(); i++) run(calls.get(i), op, i + 1, calls.size());
      aux = state;
    } finally {
      callLock.unlock();
    }
  }

  /**
   * The auxiliary state this table keeps on the Z latch. Never blocks.
   *
   * @return {@link AuxState#NONE} until {@link #auxOn} or {@link #auxOff}, then the last one set
   */
  public AuxState auxState() {
    return aux;
  }

  /**
   * What {@code initTimer} gave at {@link #open}: 2 or 3 when counter 0 runs in that mode, else
   * the count the library measured for its calibration (nonzero; 0 makes {@code open} fail).
   *
   * @return the timer calibration result
   */
  public int timerMode() {
    return timerMode;
  }

  /**
   * Closes the port device ({@code closeConn}) and lets {@link #open} open a table again. Waits
   * for a call in progress on another thread first (minutes for a long move or a reference run).
   * Closing again does nothing.
   */
  @Override
  public void close() {
    lock();
    try {
      if (closed) return;
      closed = true;
      feed.close();
      natives.closeConn();
    } finally {
      callLock.unlock();
      synchronized (OPEN_LOCK) {
        if (openTable == this) openTable = null;
      }
    }
  }

  private void checkOpen() {
    if (closed) throw new IllegalStateException("the table is closed");
  }

  /** Takes the call lock; refused inside a progress listener, which would wait on itself. */
  private void lock() {
    if (feed.insideListener()) {
      throw new IllegalStateException(
          "a progress listener must not call the Table's operations (they wait for the call it"
              + " reports on)");
    }
    callLock.lock();
  }

  private void publish() {
    tracked = new Position(x, y, z);
  }

  private void moveByLocked(String op, long dx, long dy, long dz) throws TableException {
    List<Call> plan = planMove(dx, dy, dz, aux, natives.codes);
    for (int i = 0; i < plan.size(); i++) run(plan.get(i), op, i + 1, plan.size());
  }

  /** One vectorOut call of an operation; the tracked position counts it when it succeeded. */
  private void run(Call c, String op, int part, int parts) throws TableException {
    feed.started(op, "vectorOut(" + c.x() + ", " + c.y() + ", " + c.z() + ")", part, parts,
        tracked);
    int result = natives.vectorOut(c.x(), c.y(), c.z());
    boolean auxCall = c.z() == natives.codes.auxOn() || c.z() == natives.codes.auxOff();
    if (result == c.expected() && !auxCall) {
      x += c.x();
      y += c.y();
      if (c.z() != natives.codes.keepZLatch()) z += c.z();
      publish();
    }
    feed.ended(tracked);
    if (result != c.expected()) {
      throw new TableException(
          "vectorOut(" + c.x() + ", " + c.y() + ", " + c.z() + ") gave " + result + ", not "
              + c.expected() + ": the library or the table is not in the state this Table"
              + " expects (were JavaToC's methods called directly?)");
    }
  }

  /**
   * The vectorOut calls of a relative move: equal parts below 32000 steps per axis (the part
   * count is set by the longest axis, so the parts lie on the move's line), z = 32222 for parts
   * without Z motion while an auxiliary state is set, and the state set again after the last part
   * when any part moved Z. A part never carries a z code as a distance: parts are within
   * -31999..31999.
   */
  static List<Call> planMove(long dx, long dy, long dz, AuxState aux, Codes codes) {
    long longest = Math.max(magnitude(dx), Math.max(magnitude(dy), magnitude(dz)));
    if (longest >= MAX_STEPS_PER_MOVE) {
      throw new IllegalArgumentException(
          "a move of " + longest + " steps: at most " + (MAX_STEPS_PER_MOVE - 1) + " per axis");
    }
    List<Call> calls = new ArrayList<>();
    if (longest == 0) return calls;
    long parts = (longest + MAX_STEPS_PER_CALL - 1) / MAX_STEPS_PER_CALL;
    boolean zMoved = false;
    for (long i = 0; i < parts; i++) {
      int px = (int) (dx * (i + 1) / parts - dx * i / parts);
      int py = (int) (dy * (i + 1) / parts - dy * i / parts);
      int pz = (int) (dz * (i + 1) / parts - dz * i / parts);
      if (px == 0 && py == 0 && pz == 0) continue;
      if (pz == 0 && aux != AuxState.NONE) {
        calls.add(new Call(px, py, codes.keepZLatch(), 2));
      } else {
        calls.add(new Call(px, py, pz, 3));
        zMoved |= pz != 0;
      }
    }
    if (zMoved) calls.addAll(reapplyAux(aux, codes));
    return calls;
  }

  private static long magnitude(long d) {
    return d == Long.MIN_VALUE ? Long.MAX_VALUE : Math.abs(d);
  }

  /** The call that sets an auxiliary state (none for {@link AuxState#NONE}). */
  static List<Call> reapplyAux(AuxState state, Codes codes) {
    return switch (state) {
      case NONE -> List.of();
      case ON -> List.of(new Call(0, 0, codes.auxOn(), 1));
      case OFF -> List.of(new Call(0, 0, codes.auxOff(), 0));
    };
  }
}
