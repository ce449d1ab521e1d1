// The callback through which a Table reports a move while it runs (see Table#setProgressListener).
// Implemented by the user; called by Table only.
package steplink;

/**
 * Receives a {@link Table}'s progress: when each library call starts and ends, on the thread that
 * made it, and every 100 ms of wall time while it runs, on the table's daemon thread
 * {@code steplink-progress}, where the table publishes a live status block (the simulated table
 * on Linux). Calls never overlap. A listener should return quickly and must not call the
 * {@code Table}'s methods: they wait for the call in progress.
 */
@FunctionalInterface
public interface ProgressListener {
  /**
   * One report of the table's progress.
   *
   * @param progress where the table is, how fast it moves and which call is in progress
   */
  void progress(Progress progress);
}
