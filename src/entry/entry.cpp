// The native methods of the Java class JavaToC: thin shells that trace the call, reset the
// per-call timer notice, run one operation and hand its result back unchanged.
// Calls the port channel, the interval timer, the vector move and the reference run.
#include "entry/entry.h"

#include "motion/reference.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "port/port_trace.h"
#include "timing/timer.h"

extern "C" {

JNIEXPORT jint JNICALL Java_JavaToC_openConn(JNIEnv*, jclass) {
  TraceCall("openConn");
  ResetTimerNotice();
  const jint result = OpenPortDevice();
  TraceReturn(result);
  return result;
}

JNIEXPORT jint JNICALL Java_JavaToC_closeConn(JNIEnv*, jclass) {
  TraceCall("closeConn");
  ResetTimerNotice();
  const jint result = ClosePortDevice();
  TraceReturn(result);
  return result;
}

JNIEXPORT jint JNICALL Java_JavaToC_initTimer(JNIEnv*, jclass) {
  TraceCall("initTimer");
  ResetTimerNotice();
  const jint result = CalibrateTimer();
  TraceReturn(result);
  return result;
}

JNIEXPORT jint JNICALL Java_JavaToC_vectorOut(JNIEnv*, jclass, jint x, jint y, jint z) {
  TraceCall3("vectorOut", x, y, z);
  ResetTimerNotice();
  const jint result = MoveVector(x, y, z);
  TraceReturn(result);
  return result;
}

JNIEXPORT void JNICALL Java_JavaToC_reference(JNIEnv*, jclass, jint x, jint y, jint z) {
  TraceCall3("reference", x, y, z);
  ResetTimerNotice();
  ReferenceRun(x, y, z);
  TraceReturnVoid();
}

}  // extern "C"
