// The five native methods of the Java class JavaToC, as the JVM sees them. Included by the entry
// shells themselves, and by in-process callers (tests, the fuzzer) that link the library
// statically.
#pragma once

#ifdef _WIN32
#include "entry/jni_win32.h"
#else
#include <jni.h>
#endif

extern "C" {
JNIEXPORT jint JNICALL Java_JavaToC_openConn(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_JavaToC_closeConn(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_JavaToC_initTimer(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_JavaToC_vectorOut(JNIEnv*, jclass, jint x, jint y, jint z);
JNIEXPORT void JNICALL Java_JavaToC_reference(JNIEnv*, jclass, jint x, jint y, jint z);
}
