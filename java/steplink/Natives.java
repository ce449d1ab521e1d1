// JavaToC's five methods and constants for Table, found once by reflection (a named package
// cannot name a class of the default package). Loading JavaToC loads the library through
// NativeLoader; every call goes straight to the library.
package steplink;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;

/**
 * JavaToC's five methods and its constants, found once by reflection: a named package cannot
 * name a class of the default package. Loading JavaToC loads the library.
 */
final class Natives {
  private static Natives instance;
  private static String loadFailure;

  final Table.Codes codes;
  private final MethodHandle openConn;
  private final MethodHandle closeConn;
  private final MethodHandle initTimer;
  private final MethodHandle vectorOut;
  private final MethodHandle reference;

  private Natives(Class<?> c) throws ReflectiveOperationException {
    MethodHandles.Lookup lookup = MethodHandles.publicLookup();
    MethodType noArgs = MethodType.methodType(int.class);
    openConn = lookup.findStatic(c, "openConn", noArgs);
    closeConn = lookup.findStatic(c, "closeConn", noArgs);
    initTimer = lookup.findStatic(c, "initTimer", noArgs);
    vectorOut =
        lookup.findStatic(
            c, "vectorOut", MethodType.methodType(int.class, int.class, int.class, int.class));
    reference =
        lookup.findStatic(
            c, "reference", MethodType.methodType(void.class, int.class, int.class, int.class));
    codes =
        new Table.Codes(
            c.getField("AUX_ON").getInt(null),
            c.getField("AUX_OFF").getInt(null),
            c.getField("KEEP_Z_LATCH").getInt(null),
            c.getField("OPEN_FAILED").getInt(null));
  }

  static synchronized Natives get() throws TableException {
    if (instance != null) return instance;
    if (loadFailure != null) throw new TableException(loadFailure);
    try {
      Class<?> c = Class.forName("JavaToC", true, Table.class.getClassLoader());
      instance = new Natives(c);
      return instance;
    } catch (ExceptionInInitializerError e) {
      Throwable cause = e.getCause() == null ? e : e.getCause();
      loadFailure = "the steplink library did not load: " + cause.getMessage();
      throw new TableException(loadFailure, cause);
    } catch (ClassNotFoundException e) {
      throw new TableException(
          "class JavaToC is not on the class path: put steplink.jar on the class path (not the"
              + " module path)", e);
    } catch (ReflectiveOperationException | LinkageError e) {
      loadFailure = "JavaToC could not be initialized or lacks the steplink methods: " + e;
      throw new TableException(loadFailure, e);
    }
  }

  int openConn() {
    return invokeInt(openConn);
  }

  int closeConn() {
    return invokeInt(closeConn);
  }

  int initTimer() {
    return invokeInt(initTimer);
  }

  private static int invokeInt(MethodHandle h) {
    try {
      return (int) h.invokeExact();
    } catch (RuntimeException | Error e) {
      throw e;
    } catch (Throwable t) {
      throw new IllegalStateException(t);
    }
  }

  int vectorOut(int x, int y, int z) {
    try {
      return (int) vectorOut.invokeExact(x, y, z);
    } catch (RuntimeException | Error e) {
      throw e;
    } catch (Throwable t) {
      throw new IllegalStateException(t);
    }
  }

  void reference(int x, int y, int z) {
    try {
      reference.invokeExact(x, y, z);
    } catch (RuntimeException | Error e) {
      throw e;
    } catch (Throwable t) {
      throw new IllegalStateException(t);
    }
  }
}
