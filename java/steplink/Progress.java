// One report of a Table's progress: position, speed, the operation and library call in progress.
// Made by Table from its tracked position or the live status block; a plain value.
package steplink;

import java.util.Locale;

/**
 * Where the table is while an operation of {@link Table} runs, as a {@link ProgressListener}
 * receives it.
 *
 * @param stage which moment of the call this report is from
 * @param position the table's position, counted as {@link Table#position} counts it; while a call
 *     runs, read from the table's status block
 * @param stepsPerSecond the leading axis's speed in steps/s between this report and the one before
 *     (measured in table time), 0 when the table stood meanwhile and at a call's start and end;
 *     {@code NaN} in the first running report of a call, which has no interval yet
 * @param operation the {@code Table} method in progress with its arguments, e.g.
 *     {@code moveBy(40000, -1200, 0)}
 * @param call the library call in progress, e.g. {@code vectorOut(20000, -600, 0)}
 * @param part which of the operation's library calls this is (1-based)
 * @param parts how many library calls the operation makes
 * @param tableSeconds the table's own clock in seconds (its status block's time, which on the
 *     virtual clock runs faster than the wall), or -1 where the table publishes no status block
 */
public record Progress(
    Stage stage,
    Position position,
    double stepsPerSecond,
    String operation,
    String call,
    int part,
    int parts,
    double tableSeconds) {
  /** The moment of a library call that a report is from. */
  public enum Stage {
    /** Just before the library call, on the thread that makes it. */
    STARTED,
    /** While the call runs, every 100 ms of wall time, from the table's status block. */
    RUNNING,
    /** Just after the call returned, on the thread that made it. */
    ENDED
  }

  /**
   * One line for people, e.g. {@code moveBy(4000, 3000, 0) part 1/1 vectorOut(4000, 3000, 0):
   * running at X 1234 Y 925 Z 20, 500 steps/s}.
   */
  @Override
  public String toString() {
    return String.format(Locale.ROOT, "%s%s %s: %s at X %d Y %d Z %d%s", operation,
        parts > 1 ? " part " + part + "/" + parts : "", call,
        stage.name().toLowerCase(Locale.ROOT), position.x(), position.y(), position.z(),
        stage == Stage.RUNNING && !Double.isNaN(stepsPerSecond)
            ? String.format(Locale.ROOT, ", %.0f steps/s", stepsPerSecond) : "");
  }
}
