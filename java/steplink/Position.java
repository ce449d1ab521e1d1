// The table position that Table tracks: three signed step counts, X, Y and Z.
// A plain value; no native calls.
package steplink;

/**
 * A position of the table in motor steps per axis, as {@link Table} tracks it: from the switch
 * positions after {@link Table#home}, from where the table stood at {@link Table#open} before.
 *
 * @param x X in steps
 * @param y Y in steps
 * @param z Z in steps
 */
public record Position(long x, long y, long z) {
  /** The origin, (0, 0, 0). */
  public static final Position ORIGIN = new Position(0, 0, 0);
}
