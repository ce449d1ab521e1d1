// The native methods of the steplink library, as a Java application calls them: connection,
// timer calibration, relative vector moves and reference runs on the table's driver board.
// Loads the library through steplink.NativeLoader: -Dsteplink.library=PATH, else the chosen
// variant's library on java.library.path, else the copy inside steplink.jar.

/**
 * Native entry points of the steplink stepper-table library.
 *
 * <p>Every call blocks until the library is done (a move returns when the axes stand still) and
 * the library holds no lock: make one call at a time, from whichever thread. Use them in this
 * order: {@link #openConn}, {@link #initTimer} once, any number of {@link #vectorOut} and
 * {@link #reference}, then {@link #closeConn}.
 *
 * <p>The library is loaded when the class is first used, for the variant of
 * {@code -Dsteplink.variant} (default {@code standard}), from the first of: the file named by
 * {@code -Dsteplink.library=PATH}; the variant's library on {@code java.library.path}
 * ({@code libsteplink.so} for {@code standard}, {@code libsteplink-start200.so} for
 * {@code start200}); the natives inside {@code steplink.jar} for this platform
 * ({@link steplink.NativeLoader}). Code in a named package cannot name this class; it uses
 * {@link steplink.Table}.
 */
public final class JavaToC {
  /** System property naming the library file to load instead of searching java.library.path. */
  public static final String LIBRARY_PROPERTY = "steplink.library";

  /** openConn's result when the port device could not be opened (-1 when read as a byte). */
  public static final int OPEN_FAILED = 255;

  /** z of vectorOut that selects auxiliary state 1 of the Z latch (result 1 when applied). */
  public static final int AUX_ON = 32000;
  /** z of vectorOut that selects auxiliary state 0 of the Z latch (result 0 when applied). */
  public static final int AUX_OFF = -32000;
  /** z of vectorOut for an X/Y move that leaves the Z latch as it is (result 2). */
  public static final int KEEP_Z_LATCH = 32222;

  static {
    steplink.NativeLoader.load();
  }

  private JavaToC() {}

  /** Opens the port device: its handle value, or 255 when it cannot be opened. */
  public static native int openConn();

  /** Closes the port device: nonzero when a handle was closed, 0 when none was open. */
  public static native int closeConn();

  /** Finds how the interval timer counts: 2 or 3 (its mode), or a measured count. */
  public static native int initTimer();

  /**
   * Moves X, Y and Z by relative step counts on a straight line. Distances of 32000 steps or more
   * are refused. Result: 3 for a move, 2 for z = 32222, 1 or 0 when z = +32000 or -32000 set an
   * auxiliary state of the Z latch.
   */
  public static native int vectorOut(int x, int y, int z);

  /**
   * Homes each axis with a nonzero argument (X, then Y, then Z) onto the limit input and backs it
   * off by that many steps. z = +32000 or -32000 selects an auxiliary state instead of homing Z.
   */
  public static native void reference(int x, int y, int z);
}
