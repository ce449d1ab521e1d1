// Feeds a Table's ProgressListener: before and after each library call on the calling thread, and
// every 100 ms of wall time from the table's status block while the call runs, on one daemon
// thread. Reads the block through StatusBlock; never takes the Table's call lock.
package steplink;

import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;

/** The progress reports of one Table; all listener calls are made under one lock, never at once. */
final class ProgressFeed implements AutoCloseable {
  /** Wall time between two samples of the status block while a call runs. */
  static final long SAMPLE_PERIOD_MS = 100;

  private final Object lock = new Object();
  private volatile ProgressListener listener;
  private volatile Thread delivering;
  private ScheduledExecutorService sampler;
  private ScheduledFuture<?> sampling;
  private StatusBlock block;
  private boolean closed;

  // The call in progress, under lock.
  private long callNumber;
  private String operation = "";
  private String call = "";
  private int part;
  private int parts;
  private long offsetX;
  private long offsetY;
  private long offsetZ;
  private StatusBlock.Table last;
  private boolean measured;

  void setListener(ProgressListener l) {
    listener = l;
  }

  /** True on the thread that is inside a listener call right now. */
  boolean insideListener() {
    return delivering == Thread.currentThread();
  }

  /** The status block in use, or null (for tests and messages). */
  synchronized StatusBlock block() {
    return block;
  }

  /**
   * Reports the start of a library call and, where there is a status block, starts sampling it.
   * The offset between the block's positions (steps from where the device opened) and the
   * tracked ones (from the switches after a home) is taken here, once per call.
   */
  void started(String op, String callText, int callPart, int callParts, Position tracked) {
    if (listener == null) return;
    StatusBlock b = findBlock();
    synchronized (lock) {
      callNumber++;
      operation = op;
      call = callText;
      part = callPart;
      parts = callParts;
      last = b == null ? null : b.read();
      measured = false;
      if (last != null) {
        offsetX = tracked.x() - last.x();
        offsetY = tracked.y() - last.y();
        offsetZ = tracked.z() - last.z();
      }
      deliver(Progress.Stage.STARTED, tracked, 0, last == null ? -1 : last.seconds());
      if (last != null) {
        long number = callNumber;
        synchronized (this) {
          if (!closed) {
            sampling = sampler().scheduleAtFixedRate(() -> sample(number), SAMPLE_PERIOD_MS,
                SAMPLE_PERIOD_MS, TimeUnit.MILLISECONDS);
          }
        }
      }
    }
  }

  /** Stops sampling and reports the end of the call, with the position tracked after it. */
  void ended(Position tracked) {
    synchronized (this) {
      if (sampling != null) sampling.cancel(false);
      sampling = null;
    }
    if (listener == null) return;
    synchronized (lock) {
      callNumber++; // a sample already under way for this call sees it ended and reports nothing
      StatusBlock b = block();
      StatusBlock.Table now = last == null || b == null ? null : b.read();
      deliver(Progress.Stage.ENDED, tracked, 0, now == null ? -1 : now.seconds());
    }
  }

  private void sample(long number) {
    synchronized (lock) {
      StatusBlock b = block();
      if (number != callNumber || listener == null || b == null) return;
      StatusBlock.Table now = b.read();
      if (now == null) return;
      // The first sample of a call has no interval of its own: the snapshot at the call's start
      // carries the tick of the last step before the call, which may be long ago.
      double speed = measured ? 0 : Double.NaN;
      measured = true;
      if (!Double.isNaN(speed) && now.sequence() != last.sequence()
          && now.ticks() > last.ticks()) {
        long d = Math.max(Math.abs((long) now.x() - last.x()),
            Math.max(Math.abs((long) now.y() - last.y()), Math.abs((long) now.z() - last.z())));
        speed = d / ((now.ticks() - last.ticks()) * StatusLayout.TICK_SECONDS);
      }
      last = now;
      deliver(Progress.Stage.RUNNING,
          new Position(offsetX + now.x(), offsetY + now.y(), offsetZ + now.z()), speed,
          now.seconds());
    }
  }

  /** Calls the listener; one that throws is reported on standard error and called no more. */
  private void deliver(Progress.Stage stage, Position p, double speed, double seconds) {
    ProgressListener l = listener;
    if (l == null) return;
    delivering = Thread.currentThread();
    try {
      l.progress(new Progress(stage, p, speed, operation, call, part, parts, seconds));
    } catch (RuntimeException e) {
      listener = null;
      System.err.println("steplink: the progress listener threw " + e
          + "; it is removed and called no more (the table goes on)");
    } finally {
      delivering = null;
    }
  }

  private synchronized StatusBlock findBlock() {
    if (block == null && !closed) block = StatusBlock.find(System.getenv("STEPLINK_SIM"));
    return block;
  }

  private synchronized ScheduledExecutorService sampler() {
    if (sampler == null) {
      sampler = Executors.newSingleThreadScheduledExecutor(r -> {
        Thread t = new Thread(r, "steplink-progress");
        t.setDaemon(true);
        return t;
      });
    }
    return sampler;
  }

  @Override
  public synchronized void close() {
    closed = true;
    if (sampling != null) sampling.cancel(false);
    if (sampler != null) sampler.shutdown();
    if (block != null) block.close();
    block = null;
  }
}
