// The checked exception of the Table facade: the port device did not open, the interval timer
// does not count, the library could not be loaded, or a call gave a result it never gives.
package steplink;

/**
 * A failure of the table or of the steplink library, with what was tried and what to check.
 * Wrong arguments are {@link IllegalArgumentException}s and calls on a closed {@link Table}
 * {@link IllegalStateException}s instead.
 */
public class TableException extends Exception {
  private static final long serialVersionUID = 1L;

  /**
   * A failure described by a message.
   *
   * @param message what failed and what to check
   */
  public TableException(String message) {
    super(message);
  }

  /**
   * A failure with its cause.
   *
   * @param message what failed and what to check
   * @param cause the underlying error, such as the {@link UnsatisfiedLinkError} of a failed load
   */
  public TableException(String message, Throwable cause) {
    super(message, cause);
  }
}
