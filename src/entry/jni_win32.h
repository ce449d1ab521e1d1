// The little of JNI that the Win32 build needs: 32-bit jint, opaque environment and class
// pointers, and the stdcall convention the JVM calls native methods with on 32-bit Windows.
#pragma once

#include <cstdint>

using jint = std::int32_t;
struct JNIEnvOpaque;
using JNIEnv = JNIEnvOpaque;
struct JClassOpaque;
using jclass = JClassOpaque*;

// Exports come from steplink.def alone (decorated names, fixed ordinals); dllexport would add
// undecorated duplicates to the export table.
#define JNIEXPORT
#define JNICALL __stdcall
